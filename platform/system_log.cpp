#include "platform/system_log.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace platform {
namespace {

std::string findProgramName() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n > 0 && static_cast<size_t>(n) < sizeof buf) {
        const std::string path(buf, static_cast<size_t>(n));
        return path.substr(path.find_last_of('/') + 1);
    }
    return program_invocation_short_name;
}

// openlog keeps the pointer it is given, so the name lives as long as the process.
const std::string& programName() {
    static const std::string name = findProgramName();
    return name;
}

void openSyslogOnce() {
    static std::once_flag once;
    std::call_once(once, [] { ::openlog(programName().c_str(), LOG_PID, LOG_USER); });
}

std::string timestamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char buf[64];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buf + n, sizeof buf - n, ".%03ld", now.tv_nsec / 1000000);
    return buf;
}

// One write(2) per line, so that lines from several threads never interleave.
void writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

void systemLog(const std::string& text) {
    const std::string line = timestamp() + " " + programName() + "[" + std::to_string(::getpid()) + ":" +
                             std::to_string(::gettid()) + "] " + text + "\n";
    writeAll(STDERR_FILENO, line);
    openSyslogOnce();
    ::syslog(LOG_INFO, "%s", text.c_str());
}

}  // namespace platform
