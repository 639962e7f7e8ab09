// The console window as its user sees it: standard error on a pipe, or on a pseudo-terminal of
// a given width.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "host/settings.h"
#include "support.h"
#include "ui/i18n.h"
#include "window_driver.h"

namespace bi {

namespace {

using namespace std::chrono_literals;

// What the console window wrote while driven with `flags`, `steps` and `pause` (see drive()),
// with the settings that the environment gives.
std::string onConsole(unsigned short columns, const std::string& flags, int steps, std::chrono::microseconds pause) {
    int ends[2] = {-1, -1};
    winsize size{24, columns, 0, 0};
    if (columns ? ::openpty(&ends[0], &ends[1], nullptr, nullptr, &size) : ::pipe(ends)) return {};
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(ends[1], STDERR_FILENO), ::close(ends[1]);
    std::string out;
    std::thread reader([&] {
        for (char c; ::read(ends[0], &c, 1) == 1;) out += c;
    });
    ::setenv("LC_ALL", "C.UTF-8", 1), ui::reloadUserLanguage(), ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("DISPLAY", flags.find("gone") == std::string::npos ? "" : ":5987", 1);  // "gone": a display that is gone
    Delegate delegate;
    ui::WindowSetup setup;
    setup.settings = readSettings().window;
    EXPECT_EQ(drive(delegate, *ui::openWindow(delegate, setup), flags, steps, pause), 3);
    ::dup2(saved, STDERR_FILENO), ::close(saved);
    reader.join(), ::close(ends[0]);
    return out;
}

// Lines as a terminal keeps them: each as its last redraw left it, without colours and without
// the carriage return a terminal puts before each line end.
std::vector<std::string> linesOf(const std::string& text, bool terminal = false) {
    std::vector<std::string> lines;
    std::istringstream in(std::regex_replace(text, std::regex(terminal ? "\033\\[\\d*m|\r(?=\n)" : "\r(?=\n)"), ""));
    for (std::string line; std::getline(in, line);) {
        const size_t redrawn = terminal ? line.rfind("\r\033[K") : std::string::npos;
        lines.push_back(redrawn == std::string::npos ? line : line.substr(redrawn + 4));
    }
    return lines;
}

// The failure's words in English, as a regex.
const std::string kFailureText = std::regex_replace("The installer cache cannot be trusted: " + failureTrouble().detail,
                                                    std::regex("[.<&>]"), "\\$&");

struct ConsoleRow {
    std::string name;
    unsigned short columns;
    const char *env, *flags;  // env: COLUMNS; flags, steps and pause: drive()'s
    int steps, pause;
    std::vector<std::string> lines;
    long red = 0;
    const char* drawn = "";
    const char* noColour = nullptr;  // NO_COLOR, unset when null
    const char* term = "xterm-256color";
    // What a terminal shows, redrawn in place; else plain lines, as in a pipe.
    bool redrawn() const { return columns > 0 && std::string(term) != "dumb"; }
};

class ConsoleWindow : public ::testing::TestWithParam<ConsoleRow> {};

// On a pipe (0 columns) plain lines; on a terminal one line, redrawn in place and fitted to
// COLUMNS or its width, with what else is written above it and a failure below it in red. Of the
// line's drawings some are like `drawn`: too narrow for the speed and the time left, a shorter
// bar and the percent stay. NO_COLOR takes the red away; a dumb terminal gets the pipe's plain lines.
TEST_P(ConsoleWindow, SaysOnlyWhatHappenedInPlainLinesOnAPipeAndInOneLineOnATerminal) {
    const ConsoleRow& r = GetParam();
    *r.env ? ::setenv("COLUMNS", r.env, 1) : ::unsetenv("COLUMNS");
    r.noColour ? ::setenv("NO_COLOR", r.noColour, 1) : ::unsetenv("NO_COLOR");
    ::setenv("TERM", r.term, 1);
    const auto start = std::chrono::steady_clock::now();
    const std::string out = onConsole(r.columns, r.flags, r.steps, std::chrono::microseconds(r.pause));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto lines = linesOf(out, r.redrawn());
    ASSERT_EQ(lines.size(), r.lines.size()) << out;
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(r.lines[i]))) << lines[i];
    const std::regex red("\033\\[31m[^\033\n]{1,39}\033\\[0m\r?\n"), drawn("\r\033\\[K(Downloading[^\r\n]*)");
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), red), std::sregex_iterator()), r.red) << out;
    size_t redraws = 0, named = 0;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), drawn); it != std::sregex_iterator(); ++it, ++redraws) {
        EXPECT_LT((*it)[1].length(), *r.env ? std::atoi(r.env) : r.columns) << (*it)[1];
        named += std::regex_match((*it)[1].str(), std::regex(r.drawn));
    }
    EXPECT_EQ(named > 0, r.redrawn()) << out;
    EXPECT_EQ(std::regex_search(out, std::regex("\033|\r(?!\n)")), r.redrawn() || r.red > 0) << out;
    EXPECT_LE(static_cast<double>(redraws), seconds * 10 + 3) << seconds << " s";  // ten a second at most
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, ConsoleWindow, ::testing::Values(
    ConsoleRow{"pipe, finished", 0, "", "finish", 1000, 0, {"Downloading", " 10%  100\\.0 KiB of 1000\\.0 KiB", "Downloaded 1000\\.0 KiB in 0\\.\\d s", "Initializing the installer"}},
    ConsoleRow{"pipe, failed", 0, "", "fail", 1000, 0, {"Downloading", " 10%  200\\.0 KiB of 2\\.0 MiB", kFailureText}},  // the full bar claims nothing
    ConsoleRow{"pipe, slow", 0, "", "", 250, 10000, {"Downloading", " 10%  25\\.0 KiB of 250\\.0 KiB", " \\d\\d%  \\d+\\.0 KiB of 250\\.0 KiB  .*/s  0:0\\d left"}},  // one in 2 s
    ConsoleRow{"pipe, closed", 0, "", "close", 1000, 1000, {"Downloading", " 10%  100\\.0 KiB of 1000\\.0 KiB"}},
    ConsoleRow{"pipe, display gone", 0, "", "fail gone", 0, 0, {"Downloading", kFailureText}},
    ConsoleRow{"terminal, COLUMNS", 100, "60", "log finish", 1000, 1000, {"a log line", "a child writes",
         "Downloaded 1000\\.0 KiB in 1\\.\\d s", "Initializing the installer  0:01"}, 0, "Downloading  \\[#+-+\\]   \\d\\d%  \\d+\\.0 KiB of 1000\\.0 KiB"},
    ConsoleRow{"terminal, narrow, failed, NO_COLOR empty", 40, "", "fail", 100, 1000, {"Downloading  100\\.0 KiB of 200\\.0 KiB", "The installer cache cannot be trusted:",
          "Failed to connect to 127\\.0\\.0\\.1 port 1", "after 0 ms: Couldn't connect to server", "<&>"}, 4, "Downloading  100\\.0 KiB of 200\\.0 KiB", ""},
    ConsoleRow{"terminal, NO_COLOR", 40, "", "fail", 100, 1000, {"Downloading  100\\.0 KiB of 200\\.0 KiB", "The installer cache cannot be trusted:",
          "Failed to connect to 127\\.0\\.0\\.1 port 1", "after 0 ms: Couldn't connect to server", "<&>"}, 0, "Downloading  100\\.0 KiB of 200\\.0 KiB", "1"},
    ConsoleRow{"terminal, TERM dumb", 40, "", "fail", 100, 1000, {"Downloading", " 10%  20\\.0 KiB of 200\\.0 KiB", kFailureText}, 0, "", nullptr, "dumb"}),
    RowName());
// clang-format on

}  // namespace

}  // namespace bi
