// squid from Debian's packages, started on 127.0.0.1 as a forward proxy with a configuration
// of its own: without authentication, or with Basic or Digest checked by squid's own helpers
// against one user and password. It caches nothing and writes an access log the tests read.
#pragma once

#include <memory>
#include <string>

#include "support.h"

namespace bi {

namespace testsupport {

class Squid {
public:
    enum class Auth { None, Basic, Digest };
    // Throws when squid does not come up.
    explicit Squid(Auth auth = Auth::None, const std::string& user = "ann", const std::string& password = "secret");
    Squid(const Squid&) = delete;
    Squid& operator=(const Squid&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }
    // squid's lines, one per request: "... TCP_MISS/200 <bytes> GET http://... ann ...".
    std::string accessLog() const { return readFile(dir_ / "access.log"); }

private:
    ScratchDir dir_;
    int port_ = 0;
    std::unique_ptr<Daemon> daemon_;
};

}  // namespace testsupport

}  // namespace bi
