// The console window seen from outside: a helper program drives it through openWindow, and
// the tests read its standard error through a pipe or a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "support.h"

namespace {

using testsupport::ProcessOptions;
using testsupport::runProcess;

const std::string kHelper = BI_CONSOLE_HELPER;
const char* const kNoDisplay[] = {"DISPLAY", "WAYLAND_DISPLAY"};

ProcessOptions withoutDisplay() {
    ProcessOptions options;
    for (const char* name : kNoDisplay) options.env[name] = std::nullopt;
    options.timeout = std::chrono::seconds(20);
    return options;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

struct PtyRun {
    std::string err;
    double seconds = 0;
    int status = -1;
};

// Runs the helper with its standard error on a 100-column pseudo-terminal.
PtyRun runOnTerminal(std::vector<std::string> argv) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("WAYLAND_DISPLAY=", 0) != 0) env.push_back(entry);
    }
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int master = -1, slave = -1;
    winsize size{24, 100, 0, 0};
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) throw std::runtime_error("openpty failed");
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(slave, STDERR_FILENO);
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, STDOUT_FILENO);
        ::dup2(devnull, STDIN_FILENO);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(slave);
    PtyRun run;
    for (;;) {
        pollfd pfd{master, POLLIN, 0};
        if (::poll(&pfd, 1, 20000) <= 0) break;
        char buf[4096];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the helper has exited
        run.err.append(buf, static_cast<size_t>(n));
    }
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

TEST(ConsoleWindowOnPipe, ThousandStepsWriteAStatusLineAndAFewProgressLines) {
    const auto r = runProcess({kHelper, "progress", "1000", "0"}, withoutDisplay());
    EXPECT_EQ(r.out, "launched console\nclosed 1 status 3\nrestored yes marker 0\n");
    const auto lines = linesOf(r.err);
    ASSERT_EQ(lines.size(), 5u) << r.err;
    EXPECT_EQ(lines[0], "Downloading");
    EXPECT_EQ(lines[1].rfind(" 25%  250.0 KiB of 1000.0 KiB", 0), 0u) << lines[1];
    EXPECT_EQ(lines[4].rfind("100%  1000.0 KiB of 1000.0 KiB", 0), 0u) << lines[4];
    EXPECT_EQ(r.err.find_first_of("\r\033"), std::string::npos);

    const auto unknown = runProcess({kHelper, "progress", "1000", "0", "unknown"}, withoutDisplay());
    EXPECT_EQ(unknown.err, "Downloading\n1.0 KiB\n");  // then nothing for a while
}

TEST(ConsoleWindowOnPipe, FailureIsPlainTextAndDeadDisplaysFallBackToTheConsole) {
    auto options = withoutDisplay();
    EXPECT_EQ(runProcess({kHelper, "failure"}, options).err, "Error during the download process.\n");

    options.env["DISPLAY"] = ":5987";  // no server there
    options.env["WAYLAND_DISPLAY"] = "bi-no-such-wayland-socket";
    const auto r = runProcess({kHelper, "failure"}, options);
    EXPECT_EQ(r.out, "launched console\nclosed 1 status 3\nrestored yes marker 0\n");
    EXPECT_EQ(r.err, "Error during the download process.\n");
}

TEST(ConsoleWindow, CloseSignalsCloseTheWindowOnceThenTheirDispositionsComeBack) {
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signo);
        const auto r = runProcess({kHelper, "signal", std::to_string(signo)}, withoutDisplay());
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, "launched console\nclosed 1 status 3\nrestored yes marker 1\n");
    }
}

TEST(ConsoleWindowOnTerminal, RedrawsInPlaceAtMostTenTimesASecondAndEndsTheLine) {
    const auto r = runOnTerminal({kHelper, "progress", "1000", "1000"});
    EXPECT_EQ(r.status, 0);
    const size_t redraws = count(r.err, "\r\033[K");
    EXPECT_GE(redraws, 5u) << r.err;
    EXPECT_LE(static_cast<double>(redraws), r.seconds * 10 + 3) << r.seconds << " s";
    const std::string last = r.err.substr(r.err.rfind("\r\033[K"));
    EXPECT_EQ(last.rfind("\r\033[KDownloading  [####################] 100%  1000.0 KiB of 1000.0 KiB", 0), 0u)
        << last;
    EXPECT_EQ(last.substr(last.size() - 2), "\r\n");  // the terminal turns "\n" into "\r\n"
    EXPECT_EQ(count(r.err, "\n"), 1u);
}

TEST(ConsoleWindowOnTerminal, FailureIsRed) {
    const auto r = runOnTerminal({kHelper, "failure"});
    EXPECT_EQ(r.err, "\r\033[K\033[31mError during the download process.\033[0m\r\n");
}

}  // namespace
