// An HTTP (or HTTPS) server on 127.0.0.1, run by cpp-httplib on a thread of its own for the
// test's lifetime, whose routes each test sets.
#pragma once

#include <httplib.h>

#include <memory>
#include <string>
#include <thread>

namespace bi {

namespace testsupport {

class HttpServer {
public:
    explicit HttpServer(std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>(),
                        std::string scheme = "http")
        : server_(std::move(server)), scheme_(std::move(scheme)) {
        port_ = server_->bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_->listen_after_bind(); });
    }
    ~HttpServer() {
        server_->stop();
        thread_.join();
    }
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    httplib::Server& operator*() { return *server_; }
    std::string url(const std::string& path) const { return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path; }
    int port() const { return port_; }

private:
    std::unique_ptr<httplib::Server> server_;
    std::string scheme_;
    int port_ = 0;
    std::thread thread_;
};

}  // namespace testsupport

}  // namespace bi
