// nginx from Debian's packages, started on 127.0.0.1 with a configuration of its own that
// serves one directory and writes an access log the tests can read.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>
#include <memory>
#include <string>
#include <utility>

#include "support.h"

namespace bi {

namespace testsupport {

class Nginx {
public:
    // Serves root at http://127.0.0.1:<port>/ with `extra` in its server block (a rate limit,
    // say), on a free port unless one is given; throws when nginx does not come up. In `extra`,
    // "access_log PATH timed;" logs "<status> <body bytes sent> <request time> <request>" instead,
    // "access_log PATH ranges;" "<status> <body bytes sent> <request> <Range header>".
    explicit Nginx(const std::string& root, const std::string& extra = "", int port = 0);
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    std::string url(const std::string& path) const;
    int port() const { return port_; }
    // Lines "<status> <body bytes sent> <request>" of the access log, one per request.
    std::string accessLog() const;
    // The body bytes sent for requests whose line contains `what`, and how many there were.
    std::pair<long long, int> sent(const std::string& what) const;

private:
    ScratchDir dir_;
    int port_ = 0;
    std::unique_ptr<Daemon> daemon_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();
// 127.0.0.1 at `port`, for bind and connect.
sockaddr_in loopback(int port);
// Waits until something accepts connections on 127.0.0.1:port; false after timeoutMs.
bool waitForPort(int port, int timeoutMs);

// nginx as a caching reverse proxy in front of the origin at 127.0.0.1:originPort, as a CDN's
// edge: one fetch from the origin for clients that ask at once (proxy_cache_lock), a
// conditional request to the origin once an entry is `freshSeconds` old, ranges and
// If-Range served from its cache. `extra` goes into its location (a rate limit, say).
struct CachingEdge {
    CachingEdge(int originPort, int freshSeconds, const std::string& extra = "");
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + "/" + path; }
    // Lines "<status> <body bytes sent> <request> <cache status>", one per request.
    std::string accessLog() const { return readFile(dir / "access.log"); }
    ScratchDir dir;
    int port = freeLoopbackPort();
    std::unique_ptr<Daemon> daemon;
};

}  // namespace testsupport

}  // namespace bi
