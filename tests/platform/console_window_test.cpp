// The console window seen from outside: a helper program drives it through openWindow, and
// the tests read its standard error through a pipe or a pseudo-terminal of a given width.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "support.h"

namespace bi {

namespace {

using testsupport::ProcessOptions;
using testsupport::runProcess;
using Env = std::map<std::string, std::optional<std::string>>;

const std::string kHelper = BI_CONSOLE_HELPER;
const std::string kFailure =
    "Error during the download process. Failed to connect to 127.0.0.1 port 1 after 0 ms: Couldn't connect to server";
const Env kGerman = {{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "de"}};

ProcessOptions withoutDisplay(const Env& env = {}) {
    ProcessOptions options;
    options.env = {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"LANGUAGE", std::nullopt},
                   {"LC_ALL", std::nullopt},  {"LANG", "C.UTF-8"},            {"COLUMNS", std::nullopt}};
    for (const auto& [k, v] : env) options.env[k] = v;
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

struct Screen {
    std::vector<std::string> lines;  // what stays on the terminal, colours left out
    bool wrapped = false;            // something was written into the last column or beyond
};

// Plays what a program wrote to a terminal of `columns` columns: "\r", "\n" and erasing to
// the end of the line move and clear; other escape sequences only colour.
Screen play(const std::string& tty, size_t columns) {
    Screen screen{{""}};
    size_t column = 0;
    for (size_t i = 0; i < tty.size(); ++i) {
        std::string& line = screen.lines.back();
        const char c = tty[i];
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            screen.lines.emplace_back();
            column = 0;
        } else if (c == '\033') {
            const size_t end = tty.find_first_of("mK", i);
            if (tty[end] == 'K') line.resize(column);
            i = end;
        } else {
            if (column >= columns - 1 && (static_cast<unsigned char>(c) & 0xC0) != 0x80) screen.wrapped = true;
            if (column < line.size()) line[column] = c; else line += c;
            column += 1;
        }
    }
    if (screen.lines.back().empty()) screen.lines.pop_back();
    return screen;
}

// Runs the helper with its standard error on a pseudo-terminal of `columns` columns.
testsupport::ProcessResult runOnTerminal(const std::vector<std::string>& argv, unsigned short columns, const Env& env = {}) {
    ProcessOptions options = withoutDisplay(env);
    options.terminal = true;
    options.terminalColumns = columns;
    return runProcess(argv, options);
}

TEST(ConsoleWindowOnPipe, PlainLinesSayOnlyWhatHappened) {
    const struct {
        std::vector<std::string> args;
        Env env;
        std::vector<std::string> lines;  // regular expressions, one per line
    } cases[] = {
        {{"1000", "0", "finish"}, {},
         {"Downloading", " 10%  100\\.0 KiB of 1000\\.0 KiB", "Downloaded 1000\\.0 KiB in 0\\.\\d s",
          "Initializing the installer"}},
        {{"1000", "0", "finish"}, kGerman,
         {"Downloading", " 10 %  100,0 KiB von 1000,0 KiB", "1000,0 KiB in 0,\\d s heruntergeladen",
          "Initializing the installer"}},
        // Cut at half its length: nothing claims the whole, whatever the bar shows.
        {{"1000", "0", "fail"}, {}, {"Downloading", " 10%  200\\.0 KiB of 2\\.0 MiB", kFailure}},
        // No length: no total and no percent; too quick for a line of its own.
        {{"1000", "0", "unknown", "fail"}, {}, {"Downloading", kFailure}},
        // Three seconds: at most one line every two seconds.
        {{"300", "10000"}, {}, {"Downloading", " 10%  30\\.0 KiB of 300\\.0 KiB", " \\d\\d%  \\d+\\.0 KiB of 300\\.0 KiB  .*/s  0:0\\d left"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{kHelper, "progress"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::PrintToString(argv));
        const auto r = runProcess(argv, withoutDisplay(c.env));
        EXPECT_EQ(r.out, "launched console\nclosed 1 status 3\nrestored yes marker 0\n");
        const auto lines = linesOf(r.err);
        ASSERT_EQ(lines.size(), c.lines.size()) << r.err;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_TRUE(std::regex_match(lines[i], std::regex(c.lines[i]))) << lines[i] << " !~ " << c.lines[i];
        }
        EXPECT_EQ(r.err.find_first_of("\r\033"), std::string::npos);
    }
}

TEST(ConsoleWindowOnTerminal, OneLineRedrawnInPlaceWithWhatElseIsWrittenAboveIt) {
    // COLUMNS narrower than the terminal: the line fits COLUMNS, the log line the terminal.
    const auto r = runOnTerminal({kHelper, "progress", "1000", "1000", "log", "finish"}, 100, {{"COLUMNS", "60"}});
    const Screen screen = play(r.tty, 100);
    ASSERT_EQ(screen.lines.size(), 4u) << testing::PrintToString(screen.lines);
    EXPECT_TRUE(std::regex_match(screen.lines[0], std::regex("\\d{4}-\\d\\d-\\d\\d [\\d:.]+ bi_console_window_helper\\[\\d+:\\d+\\] a log line")))
        << screen.lines[0];
    EXPECT_EQ(screen.lines[1], "a child writes");
    EXPECT_TRUE(std::regex_match(screen.lines[2], std::regex("Downloaded 1000\\.0 KiB in 1\\.\\d s"))) << screen.lines[2];
    EXPECT_EQ(screen.lines[3], "Initializing the installer  0:01");
    EXPECT_FALSE(screen.wrapped) << r.tty;

    // Too narrow for the bar and the speed: the percent and the time left stay.
    const std::regex drawn("\r\033\\[K(Downloading[^\r\n]*)");
    size_t redraws = 0, withTimeLeft = 0;
    for (auto it = std::sregex_iterator(r.tty.begin(), r.tty.end(), drawn); it != std::sregex_iterator(); ++it, ++redraws) {
        const std::string line = (*it)[1];
        EXPECT_LE(line.size(), 59u) << line;
        if (std::regex_match(line, std::regex("Downloading   \\d\\d%  \\d+\\.0 KiB of 1000\\.0 KiB  0:0\\d left"))) ++withTimeLeft;
    }
    EXPECT_GE(withTimeLeft, 2u) << r.tty;
    EXPECT_GE(redraws, 5u);
    EXPECT_LE(static_cast<double>(redraws), (r.seconds - 1) * 10 + 4) << r.seconds << " s";
}

TEST(ConsoleWindowOnTerminal, AFailureLeavesTheProgressAsItWasAndIsWrappedInRed) {
    const auto r = runOnTerminal({kHelper, "progress", "100", "1000", "fail"}, 40);
    const Screen screen = play(r.tty, 40);
    ASSERT_GE(screen.lines.size(), 4u) << r.tty;
    EXPECT_EQ(screen.lines[0], "Downloading  100.0 KiB of 200.0 KiB");
    std::string reason;
    for (size_t i = 1; i < screen.lines.size(); ++i) reason += (i > 1 ? " " : "") + screen.lines[i];
    EXPECT_EQ(reason, kFailure);
    EXPECT_FALSE(screen.wrapped) << r.tty;
    EXPECT_EQ(count(r.tty, "\033[31m"), screen.lines.size() - 1);
}

TEST(ConsoleWindow, CloseSignalsCloseTheWindowOnceThenTheirDispositionsComeBack) {
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signo);
        const auto r = runProcess({kHelper, "signal", std::to_string(signo)}, withoutDisplay());
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, "launched console\nclosed 1 status 3\nrestored yes marker 1\n");
    }
}

TEST(ConsoleWindow, DeadDisplaysFallBackToTheConsole) {
    const auto r = runProcess({kHelper, "progress", "0", "0", "fail"},
                              withoutDisplay({{"DISPLAY", ":5987"}, {"WAYLAND_DISPLAY", "bi-no-such-wayland-socket"}}));
    EXPECT_EQ(r.out, "launched console\nclosed 1 status 3\nrestored yes marker 0\n");
    EXPECT_EQ(r.err, "Downloading\n" + kFailure + "\n");
}

}  // namespace

}  // namespace bi
