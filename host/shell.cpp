#include "host/shell.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace {

bool isPlainWordByte(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '@': case '%': case '+': case '=': case ':': case ',': case '.': case '/': case '_': case '-':
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string smart_quote(std::string text) {
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

std::string argv2cmdline(int argc, const char* const argv[]) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        line += smart_quote(argv[i]);
        line += ' ';
    }
    return line;
}

int call_system(std::string /*program*/, std::string commandLine) { return std::system(commandLine.c_str()); }

int call_system_cancellable(const std::string& commandLine, const std::function<bool()>& cancelled) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    const char* argv[] = {"sh", "-c", commandLine.c_str(), nullptr};
    pid_t pid = -1;
    const int err = posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char* const*>(argv), environ);
    posix_spawnattr_destroy(&attr);
    if (err != 0) return -1;

    bool killed = false;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0) return -1;
        if (!killed && cancelled && cancelled()) {
            ::kill(-pid, SIGKILL);  // the session leader's id is its group's
            killed = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
