#include "ui/proxy_question.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "platform/system_log.h"
#include "ui/i18n.h"

namespace bi::ui {
namespace {

int openTerminal() { return ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY); }

// The terminal's echo off while it lives, given back whatever ends the question.
class NoEcho {
public:
    explicit NoEcho(int fd) : fd_(fd), saved_(::tcgetattr(fd, &old_) == 0) {
        if (!saved_) return;
        termios quiet = old_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(fd_, TCSAFLUSH, &quiet);
    }
    ~NoEcho() {
        if (saved_) ::tcsetattr(fd_, TCSAFLUSH, &old_);
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

private:
    int fd_;
    termios old_{};
    bool saved_;
};

// One line typed on the terminal, without its end; nullopt at the end of input or on cancel.
std::optional<std::string> readLine(int tty, int cancelFd) {
    std::string line;
    line.reserve(256);  // a secret grown in place leaves no copies behind in freed memory
    for (;;) {
        pollfd fds[2] = {{tty, POLLIN, 0}, {cancelFd, POLLIN, 0}};
        if (::poll(fds, cancelFd >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (cancelFd >= 0 && fds[1].revents != 0) return std::nullopt;
        char c = 0;
        const ssize_t n = ::read(tty, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        if (c == '\n') return line;
        line += c;
    }
}

class Terminal {
public:
    Terminal() : fd_(openTerminal()) {}
    ~Terminal() {
        if (fd_ >= 0) ::close(fd_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

}  // namespace

void wipeLogin(ProxyLogin& login) {
    for (std::string* secret : {&login.user, &login.password}) {
        secret->resize(secret->capacity());
        std::memset(secret->data(), 0, secret->size());
        // Kept from being dropped as a store to memory about to be freed.
        asm volatile("" : : "r"(secret->data()) : "memory");
        secret->clear();
    }
}

bool canAskOnTerminal() { return Terminal().fd() >= 0; }

std::optional<ProxyLogin> askProxyLoginOnTerminal(const std::string& host, int refused, int cancelFd) {
    const Terminal terminal;
    const int tty = terminal.fd();
    if (tty < 0) return std::nullopt;
    std::string question;
    if (refused > 0) question += std::string(tr("The proxy server did not accept the user name and password.")) + "\n";
    question += userLanguage().format(tr("The proxy server %s asks for a user name and password."),
                                      platform::printable(host).c_str()) +
                "\n" + tr("User name: ");
    platform::writeAll(tty, question);
    ProxyLogin login;
    if (auto user = readLine(tty, cancelFd); user && !user->empty()) {
        login.user = std::move(*user);
    } else {
        platform::writeAll(tty, "\n");
        return std::nullopt;
    }
    platform::writeAll(tty, tr("Password: "));
    std::optional<std::string> password;
    {
        const NoEcho quiet(tty);
        password = readLine(tty, cancelFd);
    }
    if (!password) {
        platform::writeAll(tty, "\n");
        return std::nullopt;
    }
    // The line's own buffer moves into the answer: no copy stays behind.
    login.password.swap(*password);
    return login;
}

}  // namespace bi::ui
