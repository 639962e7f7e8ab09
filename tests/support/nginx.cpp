#include "nginx.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace bi {

namespace testsupport {

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool waitForPort(int port, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in addr = loopback(port);
        const bool up = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

Nginx::Nginx(const std::string& root, const std::string& extra, int port) {
    port_ = port != 0 ? port : freeLoopbackPort();
    std::string conf = R"(worker_processes 1;
error_log @/error.log;
pid @/nginx.pid;
events { worker_connections 64; }
http {
  log_format bytes '$status $body_bytes_sent "$request"';
  access_log @/access.log bytes;
  log_format timed '$status $body_bytes_sent $request_time "$request"';
  log_format ranges '$status $body_bytes_sent "$request" $http_range';
  client_body_temp_path @/client_body; proxy_temp_path @/proxy; fastcgi_temp_path @/fastcgi;
  uwsgi_temp_path @/uwsgi; scgi_temp_path @/scgi;
  types { application/zip zip; }
  sendfile on;
  server {
    listen 127.0.0.1:PORT;
    root ROOT;
    EXTRA
  }
}
)";
    for (size_t at = conf.find('@'); at != std::string::npos; at = conf.find('@', at + 1))
        conf.replace(at, 1, dir_.path());
    conf.replace(conf.find("PORT"), 4, std::to_string(port_));
    conf.replace(conf.find("ROOT"), 4, root);
    conf.replace(conf.find("EXTRA"), 5, extra);
    writeFile(dir_ / "nginx.conf", (::geteuid() == 0 ? "user root;\n" : "") + conf);
    daemon_ = std::make_unique<Daemon>(
        std::vector<std::string>{"/usr/sbin/nginx", "-p", dir_.path(), "-e", dir_ / "error.log", "-c",
                                 dir_ / "nginx.conf", "-g", "daemon off;"},
        [this] { return waitForPort(port_, 20); });
    if (!daemon_->ready()) throw std::runtime_error("nginx did not start: " + readFile(dir_ / "error.log"));
}

std::string Nginx::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

std::string Nginx::accessLog() const { return readFile(dir_ / "access.log"); }

std::pair<long long, int> Nginx::sent(const std::string& what) const {
    std::pair<long long, int> total{0, 0};
    std::istringstream log(accessLog());
    for (std::string line; std::getline(log, line);) {
        if (line.find(what) == std::string::npos) continue;
        total.first += std::stoll(line.substr(line.find(' ') + 1));
        ++total.second;
    }
    return total;
}

CachingEdge::CachingEdge(int originPort, int freshSeconds, const std::string& extra) {
    const std::string d = dir.path() + "/", conf = d + "nginx.conf";
    std::string h = "log_format edge '$status $body_bytes_sent \"$request\" $upstream_cache_status'; access_log " + d +
                    "access.log edge; proxy_cache_path " + d + "cache keys_zone=edge:1m;";
    for (const std::string t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        h += t + "_temp_path " + d + t + ";";
    writeFile(conf, std::string(::geteuid() == 0 ? "user root;" : "") + "worker_processes 1; pid " + d +
                        "nginx.pid; events { worker_connections 256; }\nhttp { " + h +
                        "\n server { listen 127.0.0.1:" + std::to_string(port) +
                        "; location / { proxy_pass http://127.0.0.1:" + std::to_string(originPort) +
                        "; proxy_cache edge; proxy_cache_valid 200 " + std::to_string(freshSeconds) +
                        "s; proxy_cache_revalidate on; proxy_cache_lock on; proxy_cache_lock_timeout 600s;"
                        " proxy_cache_lock_age 600s; proxy_force_ranges on; " +
                        extra + "} } }\n");
    daemon = std::make_unique<Daemon>(
        std::vector<std::string>{"/usr/sbin/nginx", "-p", d, "-e", d + "error.log", "-c", conf, "-g", "daemon off;"},
        [this] { return waitForPort(port, 20); });
    if (!daemon->ready()) throw std::runtime_error("nginx (edge) did not start: " + readFile(d + "error.log"));
}

}  // namespace testsupport

}  // namespace bi
