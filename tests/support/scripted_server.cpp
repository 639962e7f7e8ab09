#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace bi {

namespace testsupport {
namespace {

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

}  // namespace

ScriptedReply serveArchive(const ScriptedRequest& request, const std::string& archive, const std::string& tag) {
    ScriptedReply reply;
    reply.headers = {{"ETag", tag}, {"Content-Type", "application/zip"}};
    if (request.header("if-none-match") == tag) {
        reply.status = 304;
        return reply;
    }
    const std::string range = request.header("range");
    const std::string ifRange = request.header("if-range");
    // As real servers do: a weak tag in If-Range never matches, and the whole archive comes.
    if (range.starts_with("bytes=") && (ifRange.empty() || (ifRange == tag && !tag.starts_with("W/")))) {
        const size_t from = std::stoul(range.substr(6));
        if (from >= archive.size()) {
            reply.status = 416;
            reply.headers.emplace_back("Content-Range", "bytes */" + std::to_string(archive.size()));
            return reply;
        }
        reply.status = 206;
        reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(from) + "-" +
                                                        std::to_string(archive.size() - 1) + "/" +
                                                        std::to_string(archive.size()));
        reply.body = archive.substr(from);
        return reply;
    }
    reply.body = archive;
    return reply;
}

ScriptedServer::ScriptedServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
        std::vector<std::thread> connections;
        for (;;) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) break;  // the listener was shut down
            connections.emplace_back([this, client] {
                serve(client);
                ::close(client);
            });
        }
        for (auto& connection : connections) connection.join();
    });
}

ScriptedServer::~ScriptedServer() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
}

std::string ScriptedServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<ScriptedRequest> ScriptedServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedServer::serve(int client) {
    std::string head;
    char c = 0;
    pollfd pfd{client, POLLIN, 0};
    while (head.find("\r\n\r\n") == std::string::npos && ::poll(&pfd, 1, 5000) > 0 && ::recv(client, &c, 1, 0) == 1) {
        head += c;
    }
    ScriptedRequest request;
    const auto firstSpace = head.find(' ');
    request.path = head.substr(firstSpace + 1, head.find(' ', firstSpace + 1) - firstSpace - 1);
    for (size_t at = head.find("\r\n"); at != std::string::npos && at + 2 < head.size();) {
        const size_t end = head.find("\r\n", at + 2);
        const std::string line = head.substr(at + 2, end - at - 2);
        if (const auto colon = line.find(':'); colon != std::string::npos) {
            request.headers[lower(line.substr(0, colon))] = line.substr(line.find_first_not_of(' ', colon + 1));
        }
        at = end;
    }
    int n = 0;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        n = static_cast<int>(requests_.size());
    }
    const ScriptedReply reply = handler_(request, n);
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " Scripted\r\nConnection: close\r\n";
    bool hasLength = false;
    for (const auto& [name, value] : reply.headers) {
        out += name + ": " + value + "\r\n";
        hasLength = hasLength || lower(name) == "content-length" || lower(name) == "transfer-encoding";
    }
    if (!hasLength && reply.status != 304) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    out += "\r\n";
    if (!sendAll(client, out.data(), out.size())) return;
    const size_t end = std::min(reply.body.size(), reply.dropAfter);
    for (size_t at = 0; at < end;) {
        if (reply.pace.count() > 0) std::this_thread::sleep_for(reply.pace);
        const size_t piece = std::min(reply.piece, end - at);
        if (!sendAll(client, reply.body.data() + at, piece)) return;
        if (at == 0 && reply.stall.count() > 0) std::this_thread::sleep_for(reply.stall);
        at += piece;
    }
}

}  // namespace testsupport

}  // namespace bi
