#include <gtest/gtest.h>

#include <sys/wait.h>

#include <random>
#include <string>
#include <vector>

#include "host/shell.h"
#include "support.h"

using testsupport::ScratchDir;

namespace {

// Random byte strings weighted towards what the shell treats specially.
std::vector<std::string> hostileStrings(size_t count) {
    std::mt19937 rng(20261206);
    const std::string special = "'\"$`\\\n\t *?[]{}()<>|&;~#!-=%@:,./_ ";
    std::vector<std::string> out = {"", "-", "--help", "'", "''", "\"", "$(touch pwned)", "`touch pwned`",
                                    "a b", "*", "\\", "\n", "-n", "~", "a'b'c", "$HOME", "\x01\xff"};
    while (out.size() < count) {
        std::string s(rng() % 24, '\0');
        for (char& c : s) {
            const auto pick = rng() % 3;
            c = pick == 0 ? special[rng() % special.size()]
                          : static_cast<char>(pick == 1 ? 'a' + rng() % 26 : 1 + rng() % 255);
        }
        out.push_back(s);
    }
    return out;
}

}  // namespace

TEST(ShellQuoting, TheRealShellGetsEveryStringBackByteForByte) {
    ScratchDir dir;
    const auto strings = hostileStrings(400);
    // One shell run per string; the oracle is what printf wrote into the file.
    for (size_t i = 0; i < strings.size(); ++i) {
        const std::string out = dir / ("out" + std::to_string(i));
        const std::string line = "printf '%s' " + smart_quote(strings[i]) + " > " + smart_quote(out);
        ASSERT_EQ(call_system("printf", line), 0) << line;
        ASSERT_EQ(testsupport::readFile(out), strings[i]) << "string #" << i;
    }
    EXPECT_FALSE(testsupport::exists(dir / "pwned"));
    EXPECT_FALSE(testsupport::exists("pwned"));
}

TEST(ShellQuoting, ArgumentVectorArrivesWhole) {
    ScratchDir dir;
    const auto strings = hostileStrings(60);
    std::vector<const char*> argv = {"program"};
    for (const auto& s : strings) argv.push_back(s.c_str());
    const std::string record = dir / "record";
    testsupport::writeFile(dir / "agent", testsupport::recordingAgentScript(), 0755);
    const std::string line = "AGENT_RECORD=" + smart_quote(record) + " sh " + smart_quote(dir / "agent") + " " +
                             argv2cmdline(static_cast<int>(argv.size()), argv.data());
    ASSERT_EQ(call_system("sh", line), 0);
    EXPECT_EQ(testsupport::splitRecord(testsupport::readFile(record)), strings);
}

TEST(ShellQuoting, OrdinaryWordsStayAsTheyAre) {
    EXPECT_EQ(smart_quote("/tmp/work/install"), "/tmp/work/install");
    EXPECT_EQ(smart_quote("user@host:8080/a,b=c%20+d"), "user@host:8080/a,b=c%20+d");
    EXPECT_EQ(smart_quote(""), "''");
    EXPECT_EQ(smart_quote("My Setup"), "'My Setup'");
    EXPECT_EQ(smart_quote("it's"), "'it'\\''s'");
    const char* argv[] = {"prog", "-mode", "silent"};
    EXPECT_EQ(argv2cmdline(3, argv), "-mode silent ");
    EXPECT_EQ(argv2cmdline(1, argv), "");
}

TEST(ShellQuoting, CallSystemPassesTheStatusOn) {
    EXPECT_EQ(call_system("true", "true"), 0);
    const int status = call_system("sh", "exit 3");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
}
