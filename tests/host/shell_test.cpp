#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "host/shell.h"
#include "support.h"

namespace bi {

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

// What the shell makes of every quoted string and argument vector: exactly the bytes given.
// The shell runs in the scratch directory, so that a command that escaped lands there.
TEST(ShellQuoting, TheRealShellGetsEveryStringAndArgumentBackByteForByte) {
    ScratchDir dir;
    const auto strings = hostileStrings(400);
    // One shell run per string; the oracle is what printf wrote into the file.
    for (size_t i = 0; i < strings.size(); ++i) {
        const std::string line = "cd " + shellQuote(dir.path()) + " && printf '%s' " + shellQuote(strings[i]) + " > out";
        ASSERT_EQ(runShell(line), 0) << line;
        ASSERT_EQ(testsupport::readFile(dir / "out"), strings[i]) << "string #" << i;
    }
    std::vector<const char*> argv = {"program"};
    for (size_t i = 0; i < 60; ++i) argv.push_back(strings[i].c_str());
    testsupport::writeFile(dir / "agent", testsupport::recordingAgentScript(), 0755);
    const std::string line = "cd " + shellQuote(dir.path()) + " && AGENT_RECORD=record sh agent " +
                             quoteArguments(static_cast<int>(argv.size()), argv.data());
    ASSERT_EQ(runShell(line), 0);
    EXPECT_EQ(testsupport::splitRecord(testsupport::readFile(dir / "record")),
              std::vector<std::string>(strings.begin(), strings.begin() + 60));
    EXPECT_FALSE(testsupport::exists(dir / "pwned"));
    // Ordinary words stay as they are; the empty string is one argument all the same.
    EXPECT_EQ(shellQuote("user@host:8080/a,b=c%20+d"), "user@host:8080/a,b=c%20+d");
    EXPECT_EQ(shellQuote(""), "''");
}

}  // namespace bi
