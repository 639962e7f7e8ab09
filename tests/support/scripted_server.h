// An HTTP/1.1 server on 127.0.0.1 whose every answer the test writes itself, byte for byte:
// a status, headers, a body that may stop short or drip, one request per connection. For
// faults a library server would tidy away (a 206 that starts elsewhere, a Range it ignores).
// Each connection is served on a thread of its own.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bi {

namespace testsupport {

struct ScriptedRequest {
    std::string path;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

struct ScriptedReply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    size_t dropAfter = std::string::npos;  // the connection closes after this many body bytes
    std::chrono::milliseconds pace{0};     // a pause before each piece of the body
    size_t piece = 64 << 10;
    std::chrono::milliseconds stall{0};  // a pause after the first piece, the server silent meanwhile
};

inline ScriptedReply reply(int status, std::vector<std::pair<std::string, std::string>> headers = {},
                           std::string body = "", std::chrono::milliseconds pace = {}, size_t piece = 64 << 10) {
    return {status, std::move(headers), std::move(body), std::string::npos, pace, piece};
}

// The usual answer for `archive` tagged `tag`: 304 for a matching If-None-Match, 206 for a
// Range whose If-Range matches (or is absent), 416 past the end, else 200.
ScriptedReply serveArchive(const ScriptedRequest& request, const std::string& archive, const std::string& tag);

class ScriptedServer {
public:
    // handler(request, n): the answer to the n-th request (1-based).
    using Handler = std::function<ScriptedReply(const ScriptedRequest&, int)>;
    explicit ScriptedServer(Handler handler);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::string url(const std::string& path) const;
    std::vector<ScriptedRequest> requests() const;

private:
    void serve(int client);

    Handler handler_;
    int listener_ = -1;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<ScriptedRequest> requests_;
    std::thread thread_;
};

}  // namespace testsupport

}  // namespace bi
