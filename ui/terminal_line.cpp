#include "ui/terminal_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/system_log.h"

namespace bi::ui {
namespace {

// A line without its end is sent on once nothing more has come for this long.
constexpr int kUnfinishedLineMs = 200;
constexpr const char* kClearLine = "\r\033[K";

}  // namespace

TerminalLine::TerminalLine() : terminal_(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) {
    int fds[2];
    if (terminal_ < 0 || ::pipe2(wake_, O_CLOEXEC) != 0) return;
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    ::dup2(fds[1], STDERR_FILENO);  // without close-on-exec: children write there too
    ::close(fds[1]);
    pipe_ = fds[0];
    forwarder_ = std::thread([this] { forward(); });
}

TerminalLine::~TerminalLine() {
    end();
    if (forwarder_.joinable()) {
        platform::writeAll(wake_[1], "q");
        forwarder_.join();
    }
    if (pipe_ >= 0) {
        ::dup2(terminal_, STDERR_FILENO);
        std::lock_guard lock(mutex_);
        drainLocked(true);
        ::close(pipe_);
    }
    for (const int fd : {wake_[0], wake_[1], terminal_}) {
        if (fd >= 0) ::close(fd);
    }
}

int TerminalLine::columns() const {
    if (const char* env = std::getenv("COLUMNS")) {
        const int n = std::atoi(env);
        if (n > 0) return n;
    }
    winsize ws{};
    if (::ioctl(terminal_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

void TerminalLine::show(const std::string& text) {
    std::lock_guard lock(mutex_);
    drainLocked(false);
    if (text.empty()) {
        if (lineShown_) writeLocked(kClearLine);
        lineShown_ = false;
    } else {
        writeLocked(std::string(midLine_ ? "\n" : "") + kClearLine + text);
        lineShown_ = true;
        midLine_ = false;
    }
    line_ = text;
}

void TerminalLine::print(const std::string& lines) {
    std::lock_guard lock(mutex_);
    drainLocked(false);
    std::string out = lineShown_ ? kClearLine : midLine_ ? "\n" : "";
    midLine_ = false;
    out += lines;
    if (lineShown_) out += line_;
    writeLocked(out);
}

void TerminalLine::end() {
    std::lock_guard lock(mutex_);
    drainLocked(false);
    if (lineShown_) writeLocked("\n");
    lineShown_ = false;
    line_.clear();
}

void TerminalLine::forward() {
    bool open = true;      // false once every writer has gone
    bool waiting = false;  // an unfinished line waits in pending_
    for (;;) {
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {open ? pipe_ : -1, POLLIN, 0}};
        const int n = ::poll(fds, 2, waiting ? kUnfinishedLineMs : -1);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard lock(mutex_);
        if (fds[0].revents != 0) return;  // the destructor drains what is left
        if ((fds[1].revents & POLLHUP) != 0 && (fds[1].revents & POLLIN) == 0) open = false;
        drainLocked(n == 0);
        waiting = !pending_.empty();
    }
}

void TerminalLine::drainLocked(bool all) {
    if (pipe_ < 0) return;
    char buf[4096];
    for (ssize_t n; (n = ::read(pipe_, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);) {
        if (n > 0) pending_.append(buf, static_cast<size_t>(n));
    }
    const size_t lastEnd = pending_.rfind('\n');
    const size_t end = all ? pending_.size() : lastEnd == std::string::npos ? 0 : lastEnd + 1;
    if (end == 0) return;
    std::string out = lineShown_ ? kClearLine : "";
    out.append(pending_, 0, end);
    pending_.erase(0, end);
    midLine_ = out.back() != '\n';
    lineShown_ = !midLine_ && !line_.empty();
    if (lineShown_) out += line_;
    writeLocked(out);
}

void TerminalLine::writeLocked(const std::string& text) {
    platform::writeAll(terminal_ >= 0 ? terminal_ : STDERR_FILENO, text);
}

}  // namespace bi::ui
