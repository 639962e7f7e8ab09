#include "host/shell.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

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
    // The command replaces the shell, so the death signal reaches the command itself.
    const std::string line = "exec " + commandLine;
    const char* execLine = line.c_str();
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // Only async-signal-safe calls here: the parent has other threads.
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // nothing keeps writing after the installer died
        if (::getppid() != parent) ::_exit(127);
        ::execl("/bin/sh", "sh", "-c", execLine, static_cast<char*>(nullptr));
        ::_exit(127);
    }
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
