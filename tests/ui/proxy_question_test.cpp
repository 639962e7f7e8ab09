// The terminal's question for a proxy's user name and password, typed in tmux, then the
// download through squid with Basic authentication.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "../e2e/fixture.h"
#include "nginx.h"
#include "squid.h"
#include "support.h"

namespace bi {

namespace {

struct QuestionRow {
    std::string name;
    std::vector<std::string> typed;  // the user name and password of each question, in turn
    std::string ended;               // the driver's last line
    bool terminal = true;
};

class ProxyQuestion : public ::testing::TestWithParam<QuestionRow> {};

// Whether any file under dir holds text.
bool anywhereIn(const std::string& dir, const std::string& text) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file() && testsupport::readFile(entry.path()).find(text) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

// Each answer is taken in turn; a wrong one is said and asked again, the third ends it; the
// password is never shown, logged or written, and without a terminal nothing is asked.
TEST_P(ProxyQuestion, AsksOnTheTerminalThenDownloadsThroughTheProxy) {
    const QuestionRow& row = GetParam();
    testsupport::ScratchDir dir;
    testsupport::makeDirs(dir / "www");
    testsupport::writeFile(dir / "www/agent.zip", std::string(100000, 'z'));
    testsupport::Nginx origin(dir / "www");
    testsupport::Squid squid(testsupport::Squid::Auth::Basic, "ann", "s3cret-pw");
    const std::string sock = dir / "tmux", out = dir / "out", err = dir / "err";
    const auto tmux = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/tmux", "-S", sock});
        return testsupport::runProcess(args).out;
    };
    const std::string command = "cd " + dir.path() + " && HOME=" + dir.path() + " http_proxy=" + squid.url() + " " +
                                BI_PROXY_QUESTION_DRIVER + " " + origin.url("agent.zip") + " >" + out + " 2>" + err;
    if (!row.terminal) {
        // A session of its own without a controlling terminal: nobody to ask.
        testsupport::runProcess({"/usr/bin/setsid", "-w", "/bin/sh", "-c", command});
    } else {
        tmux({"-f", "/dev/null", "new-session", "-d", "-x", "120", "-y", "30", "/bin/sh", "-c",
              command + "; echo END; sleep 60"});
        const auto count = [&](const std::string& what) {
            const std::string screen = tmux({"capture-pane", "-p"});
            size_t n = 0;
            for (auto at = screen.find(what); at != std::string::npos; at = screen.find(what, at + 1)) ++n;
            return n;
        };
        // Typed once the terminal asks: turning the echo off drops what was typed before.
        for (size_t i = 0; i < row.typed.size(); ++i) {
            const char* prompt = i % 2 == 0 ? "User name:" : "Password:";
            ASSERT_TRUE(waitUntil([&] { return count(prompt) > i / 2; }))
                << tmux({"capture-pane", "-p"}) << testsupport::readFile(err);
            tmux({"send-keys", "-l", row.typed[i]});
            tmux({"send-keys", "Enter"});
        }
        EXPECT_TRUE(waitUntil([&] { return count("END") > 0; }));
    }
    const std::string screen = row.terminal ? tmux({"capture-pane", "-p"}) : "";
    if (row.terminal) tmux({"kill-server"});
    EXPECT_EQ(testsupport::readFile(out).substr(0, row.ended.size()), row.ended) << testsupport::readFile(out);
    const bool asked =
        screen.find("The proxy server 127.0.0.1 asks for a user name and password.") != std::string::npos;
    EXPECT_EQ(asked, row.terminal) << screen;
    const bool refusedOnce = row.typed.size() > 2 && row.typed[1] != "s3cret-pw";
    EXPECT_EQ(screen.find("did not accept the user name and password") != std::string::npos, refusedOnce) << screen;
    for (const auto& typed : row.typed) {
        if (typed == "ann" || typed.empty()) continue;
        EXPECT_EQ(screen.find(typed), std::string::npos) << "a password on the screen\n" << screen;
        EXPECT_FALSE(anywhereIn(dir.path(), typed)) << "a password written to a file";
    }
    EXPECT_EQ(squid.accessLog().find("/200 ") != std::string::npos, row.ended == "downloaded") << squid.accessLog();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, ProxyQuestion, ::testing::Values(
    QuestionRow{.name = "the right password", .typed = {"ann", "s3cret-pw"}, .ended = "downloaded"},
    QuestionRow{.name = "two wrong, then the right one", .typed = {"ann", "wrong-one", "ann", "wrong-two", "ann", "s3cret-pw"},
                .ended = "downloaded"},
    QuestionRow{.name = "three wrong", .typed = {"ann", "wrong-one", "ann", "wrong-two", "ann", "wrong-three"},
                .ended = "refused"},
    QuestionRow{.name = "no user name", .typed = {""}, .ended = "not asked"},
    QuestionRow{.name = "no terminal", .ended = "not asked", .terminal = false}),
    RowName());
// clang-format on

}  // namespace bi
