#include "platform/system_log.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>

namespace bi::platform {
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

// The latest lines, for logLinesSince.
struct KeptLines {
    static constexpr size_t kMost = 500;
    std::mutex mutex;
    std::deque<std::string> lines;
    size_t logged = 0;

    void add(std::string line) {
        std::lock_guard lock(mutex);
        lines.push_back(std::move(line));
        if (lines.size() > kMost) lines.pop_front();
        ++logged;
    }
};

// Never destroyed: a thread may still log while the process exits.
KeptLines& keptLines() {
    static KeptLines* const kept = new KeptLines;
    return *kept;
}

}  // namespace

size_t logLinesLogged() {
    std::lock_guard lock(keptLines().mutex);
    return keptLines().logged;
}

std::vector<std::string> logLinesSince(size_t from) {
    KeptLines& kept = keptLines();
    std::lock_guard lock(kept.mutex);
    const size_t first = kept.logged - kept.lines.size();
    const size_t skip = std::clamp(from, first, kept.logged) - first;
    return {kept.lines.begin() + static_cast<std::ptrdiff_t>(skip), kept.lines.end()};
}

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

void systemLog(const std::string& text) {
    // Long enough for any message of ours; a URL of a megabyte is cut.
    constexpr size_t kLongest = 4096;
    std::string safe = printable(text);
    if (safe.size() > kLongest) safe = safe.substr(0, kLongest) + "...";
    const std::string line = timestamp() + " " + programName() + "[" + std::to_string(::getpid()) + ":" +
                             std::to_string(::gettid()) + "] " + safe + "\n";
    writeAll(STDERR_FILENO, line);
    keptLines().add(line.substr(0, line.size() - 1));
    openSyslogOnce();
    ::syslog(LOG_INFO, "%s", safe.c_str());
}

}  // namespace bi::platform
