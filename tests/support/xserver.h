// An Xvfb of the test process's own, for tests of the real window.
#pragma once

#include <sys/types.h>
#include <string>

namespace bi {

namespace testsupport {

// One Xvfb per test process, on a display number it picks itself, ended with the process.
class XServer {
public:
    static XServer& get() {
        static XServer server;
        return server;
    }
    static bool installed();
    const std::string& display() const { return display_; }

    ~XServer();

private:
    XServer();
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace testsupport

}  // namespace bi
