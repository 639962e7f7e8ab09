// The question for a proxy's user name and password, typed in tmux on the console and with
// xdotool in the GTK window, then the download through squid with Basic authentication.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "fixture.h"
#include "nginx.h"
#include "squid.h"
#include "xserver.h"

namespace bi {

namespace {

struct QuestionRow {
    std::string name;
    std::vector<std::string> typed;  // the user name and password of each question, in turn; "^C" a Ctrl-C
    int exit = 0;
    std::vector<std::string> said = {};  // on the terminal
};

class ProxyQuestion : public InstallerTest, public ::testing::WithParamInterface<QuestionRow> {};

// Whether any file under dir holds text.
bool anywhereIn(const std::string& dir, const std::string& text) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file() && testsupport::readFile(entry.path()).find(text) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

// Each answer is taken in turn; a wrong one is said and asked again, the third ends the run, and
// Ctrl-C ends it as a cancel does, the echo given back. The password is never shown, logged
// or written.
TEST_P(ProxyQuestion, AsksOnTheTerminalThenDownloadsThroughTheProxy) {
    const QuestionRow& row = GetParam();
    testsupport::ScratchDir www;
    testsupport::writeFile(www / "agent.zip", zipBytes(agentFiles()));
    testsupport::Nginx origin(www.path());
    testsupport::Squid squid(testsupport::Squid::Auth::Basic, "ann", "s3cret-pw");
    const std::string sock = dir_ / "tmux";
    const auto tmux = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/tmux", "-S", sock});
        return testsupport::runProcess(args).out;
    };
    // The installer in a pane of a tmux server of the test's own, which takes the run's
    // environment; the pane stays once it has ended, for the screen to be read. Its shell
    // outlives a Ctrl-C, as a user's does.
    wrapper_ = {"/usr/bin/tmux",
                "-S",
                sock,
                "-f",
                "/dev/null",
                "new-session",
                "-d",
                "-x",
                "120",
                "-y",
                "30",
                "/bin/sh",
                "-c",
                "trap : INT; \"$@\"; echo END $?; stty -a | grep -o ' echo '; sleep 60",
                "sh"};
    run(downloadBundle(origin.url("agent.zip")), {}, {{"http_proxy", squid.url()}});
    const auto screen = [&] { return tmux({"capture-pane", "-p", "-J", "-S", "-"}); };
    const auto count = [&](const std::string& what) {
        const std::string shown = screen();
        size_t n = 0;
        for (auto at = shown.find(what); at != std::string::npos; at = shown.find(what, at + 1)) ++n;
        return n;
    };
    // Typed once the terminal asks: turning the echo off drops what was typed before.
    for (size_t i = 0; i < row.typed.size(); ++i) {
        const char* prompt = i % 2 == 0 ? "User name:" : "Password:";
        ASSERT_TRUE(waitUntil([&] { return count(prompt) > i / 2; })) << screen();
        if (row.typed[i] == "^C") {
            tmux({"send-keys", "C-c"});
        } else {
            tmux({"send-keys", "-l", row.typed[i]});
            tmux({"send-keys", "Enter"});
        }
    }
    ASSERT_TRUE(waitUntil([&] { return count("END") > 0; }, std::chrono::seconds(60))) << screen();
    ASSERT_TRUE(waitUntil([&] { return count(" echo ") > 0; })) << "the echo stays off\n" << screen();
    const std::string shown = screen();
    tmux({"kill-server"});
    EXPECT_NE(shown.find("END " + std::to_string(row.exit)), std::string::npos) << shown;
    EXPECT_EQ(agentRuns(), row.exit == 0 ? 1 : 0);
    EXPECT_NE(shown.find("The proxy server 127.0.0.1 asks for a user name and password."), std::string::npos) << shown;
    for (const auto& text : row.said) EXPECT_NE(shown.find(text), std::string::npos) << text << "\n" << shown;
    for (const auto& typed : row.typed) {
        if (typed == "ann" || typed == "^C") continue;
        EXPECT_EQ(shown.find(typed), std::string::npos) << "a password on the screen\n" << shown;
        EXPECT_FALSE(anywhereIn(dir_.path(), typed)) << "a password written to a file";
    }
    EXPECT_EQ(squid.accessLog().find("/200 ") != std::string::npos, row.exit == 0) << squid.accessLog();
}

// The window asks below its status, the password masked; a wrong answer is said and asked
// again, and the right one brings the archive.
TEST_F(InstallerTest, TheWindowAsksForTheProxysPasswordThenDownloads) {
    if (!testsupport::XServer::installed()) GTEST_SKIP() << "Xvfb is not installed";
    const std::string display = testsupport::XServer::get().display(), transcript = dir_ / "window";
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    testsupport::ScratchDir www;
    testsupport::writeFile(www / "agent.zip", zipBytes(agentFiles()));
    testsupport::Nginx origin(www.path());
    testsupport::Squid squid(testsupport::Squid::Auth::Basic, "ann", "s3cret-pw");
    auto running = std::async(std::launch::async, [&] {
        return run(downloadBundle(origin.url("agent.zip")), {},
                   {{"http_proxy", squid.url()},
                    {"DISPLAY", display},
                    {"NO_AT_BRIDGE", "1"},
                    {"BI_WINDOW_TRANSCRIPT", transcript}});
    });
    const auto asked = [&](size_t times) {
        return waitUntil(
            [&] {
                const std::string shown = testsupport::readFile(transcript);
                size_t n = 0;
                for (auto at = shown.find("login: asked"); at != std::string::npos;
                     at = shown.find("login: asked", at + 1))
                    ++n;
                return n >= times;
            },
            std::chrono::seconds(20));
    };
    testsupport::ProcessOptions x;
    x.env["DISPLAY"] = display;
    // The user name has the focus; Tab goes to the password, Return is OK.
    const auto answer = [&](const std::string& password) {
        testsupport::runProcess({"/usr/bin/xdotool", "search", "--sync", "--onlyvisible", "--name", "^Setup$",
                                 "windowfocus", "--sync", "type", "--delay", "20", "ann"},
                                x);
        testsupport::runProcess({"/usr/bin/xdotool", "key", "Tab", "type", "--delay", "20", password}, x);
        testsupport::runProcess({"/usr/bin/xdotool", "key", "Return"}, x);
    };
    ASSERT_TRUE(asked(1)) << testsupport::readFile(transcript);
    answer("wrong-one");
    ASSERT_TRUE(asked(2)) << testsupport::readFile(transcript);
    answer("s3cret-pw");
    const auto r = running.get();
    const std::string shown = testsupport::readFile(transcript);
    EXPECT_EQ(r.exitStatus, 0) << r.err << shown;
    EXPECT_EQ(agentRuns(), 1);
    EXPECT_NE(shown.find("status: The proxy server did not accept the user name and password. The proxy server "
                         "127.0.0.1 asks for a user name and password."),
              std::string::npos)
        << shown;
    for (const char* typed : {"wrong-one", "s3cret-pw"}) {
        EXPECT_EQ(r.err.find(typed), std::string::npos) << r.err;
        EXPECT_FALSE(anywhereIn(dir_.path(), typed)) << "a password written to a file";
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, ProxyQuestion, ::testing::Values(
    QuestionRow{.name = "the right password", .typed = {"ann", "s3cret-pw"}},
    QuestionRow{.name = "two wrong, then the right one", .typed = {"ann", "wrong-one", "ann", "wrong-two", "ann", "s3cret-pw"},
                .said = {"did not accept the user name and password"}},
    QuestionRow{.name = "three wrong", .typed = {"ann", "wrong-one", "ann", "wrong-two", "ann", "wrong-three"}, .exit = 255,
                .said = {"Error during the download process. The proxy server did not accept the user name and password.",
                         "Installation failed."}},
    QuestionRow{.name = "Ctrl-C at the password", .typed = {"ann", "^C"}, .exit = 255,
                .said = {"The installation was cancelled."}}),
    RowName());
// clang-format on

}  // namespace bi
