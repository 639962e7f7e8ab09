#include "host/shell.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace bi {

namespace {

bool isPlainWordByte(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '@':
        case '%':
        case '+':
        case '=':
        case ':':
        case ',':
        case '.':
        case '/':
        case '_':
        case '-':
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string shellQuote(std::string text) {
    bool plain = !text.empty();
    for (const char c : text) plain = plain && isPlainWordByte(static_cast<unsigned char>(c));
    if (plain) return text;

    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

namespace {

// Passes the complete lines of `pending` (all of it at the end) through rewrite to stderr.
void flushLines(std::string& pending, bool atEnd, const std::function<std::string(const std::string&)>& rewrite) {
    size_t start = 0;
    for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos || (atEnd && start < pending.size());) {
        const size_t end = nl == std::string::npos ? pending.size() : nl;
        const std::string line = rewrite(pending.substr(start, end - start)) + "\n";
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
        start = end + 1;
    }
    pending.erase(0, std::min(start, pending.size()));
}

}  // namespace

int runShellCancellable(const std::string& commandLine, const std::function<bool()>& cancelled,
                        const std::function<std::string(const std::string&)>& rewrite) {
    // The command replaces the shell, so the death signal reaches the command itself.
    const std::string line = "exec " + commandLine;
    const char* execLine = line.c_str();
    int output[2] = {-1, -1};
    // Not blocking: a process the command left behind may hold the pipe open.
    if (rewrite && ::pipe2(output, O_CLOEXEC) != 0) return -1;
    if (output[0] >= 0) ::fcntl(output[0], F_SETFL, O_NONBLOCK);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls here: the parent has other threads.
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // nothing keeps writing after the installer died
        if (::getppid() != parent) ::_exit(127);
        if (output[1] >= 0 && (::dup2(output[1], STDOUT_FILENO) < 0 || ::dup2(output[1], STDERR_FILENO) < 0))
            ::_exit(127);
        ::execl("/bin/sh", "sh", "-c", execLine, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (output[1] >= 0) ::close(output[1]);
    if (pid < 0) {
        if (output[0] >= 0) ::close(output[0]);
        return -1;
    }
    bool killed = false;
    std::string pending;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || done < 0) {
            // What the command wrote last is still in the pipe.
            char buf[4096];
            for (ssize_t n; output[0] >= 0 && (n = ::read(output[0], buf, sizeof buf)) > 0;)
                pending.append(buf, static_cast<size_t>(n));
            if (output[0] >= 0) {
                flushLines(pending, true, rewrite);
                ::close(output[0]);
            }
            return done == pid ? status : -1;
        }
        if (!killed && cancelled && cancelled()) {
            ::kill(-pid, SIGKILL);  // the session leader's id is its group's
            killed = true;
        }
        pollfd pfd{output[0], POLLIN, 0};
        if (::poll(&pfd, output[0] >= 0 ? 1 : 0, 10) > 0) {
            char buf[4096];
            const ssize_t n = ::read(output[0], buf, sizeof buf);
            if (n > 0) pending.append(buf, static_cast<size_t>(n));
            flushLines(pending, false, rewrite);
        }
    }
}

}  // namespace bi
