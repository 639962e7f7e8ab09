// The shipped road: the built installer on bundles that carry their agent, extracted into a
// private working directory that goes with the run.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "fixture.h"

namespace bi {

using namespace std::chrono_literals;

struct StartRow {
    std::string name, parent;
    std::map<std::string, std::map<std::string, std::string>> archives;  // file name -> files
    std::vector<std::string> args;
    InstallerTest::Env env = {};
};

namespace {

// Odd bytes for names: blanks, quotes, command substitutions, a line feed, bytes that are not
// UTF-8 and a leading dash.
const std::string kWeird = "-x a 'q' \"d\" $(touch pwned1) `touch pwned2`;touch pwned3\nl2\xff\xfe";

class ShippedStart : public InstallerTest, public ::testing::WithParamInterface<StartRow> {};

}  // namespace

TEST_P(ShippedStart, FromAPrivateWorkingDirectoryWithEveryArgumentUnchanged) {
    const auto& row = GetParam();
    auto b = bundle(row.parent);
    for (const auto& [name, files] : row.archives) testsupport::makeZip(b.resources + "/" + name, files);
    if (row.name.ends_with("no bundle.zip")) ::unlink((b.resources + "/bundle.zip").c_str());
    const auto r = run(b, row.args, row.env);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(testsupport::readFile(runs_), "run\n");
    std::vector<std::string> expected = {"-installbundle", b.resources + "/bundle.zip"};
    expected.insert(expected.end(), row.args.begin(), row.args.end());
    EXPECT_EQ(recorded(), expected);
    // It ran from TMPDIR/qvXXXXXX/install, which is gone now; the cache was never touched.
    const std::string self = testsupport::readFile(self_);
    EXPECT_TRUE(self.starts_with(tmp_ + "/qv") && self.ends_with("/install") && self.size() == tmp_.size() + 17)
        << self;
    EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
    EXPECT_EQ(testsupport::listDir(home_), std::vector<std::string>{});
    // No file "pwned<digit>" anywhere: no command in a name or an argument ran.
    for (auto it = std::filesystem::recursive_directory_iterator(dir_.path());
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        EXPECT_FALSE(it->path().filename().string().starts_with("pwned")) << it->path();
    }
}

namespace {

std::map<std::string, std::string> otherAgent() {
    auto other = InstallerTest::agentFiles();
    other["install"] = "#!/bin/sh\necho other >> \"$AGENT_RUNS\"\n";
    return other;
}

}  // namespace

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, ShippedStart, ::testing::Values(
    StartRow{"InstallAgent.zip before any InstallAgent_*.zip", "both",
             {{"InstallAgent.zip", InstallerTest::agentFiles()}, {"InstallAgent_0.zip", otherAgent()}, {"InstallAgent_9.zip", otherAgent()}},
             {"-mode", "silent"}},
    StartRow{"an InstallAgent_*.zip and an agent that fails", "alternative", {{"InstallAgent_2.3.zip", InstallerTest::agentFiles()}},
             {"x"}, {{"AGENT_EXIT", "7"}}},
    StartRow{"odd names, hostile arguments, no bundle.zip", "my apps 'x' \"y\" $(touch pwned1) `touch pwned2`;touch pwned3",
             {{"InstallAgent_" + kWeird + ".zip", InstallerTest::agentFiles()}},
             {"a b", "'quoted'", "\"dq\"", "$(touch pwned4)", "`touch pwned5`", "*", "-n", "line1\nline2", "", "tab\there", "\\back",
              "; touch pwned6", kWeird}}), RowName());
// clang-format on

// The test variable puts the agent beside the bundle; the working directory still comes and goes.
TEST_F(InstallerTest, TheTestVariablePutsTheAgentBesideTheBundle) {
    const auto b = bundle("beside", "InstallAgent.zip");
    for (const char* value : {"", "1"}) {
        const auto r = run(b, {"x"}, {{"__QV_BOOTSTRAP_INSTALLER_UNITTEST__", value}});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(testsupport::readFile(self_), dir_ / "beside/install");
        EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
        ::unlink((dir_ / "beside/install").c_str());
    }
}

struct BrokenRow {
    std::string name;
    std::function<std::string()> archive;
    std::string ending;
    bool diskFull = false;
    int signal = 0;
};

namespace {

class ShippedBroken : public InstallerTest, public ::testing::WithParamInterface<BrokenRow> {};

}  // namespace

TEST_P(ShippedBroken, FailsClearlyAndLeavesNothing) {
    const auto& row = GetParam();
    auto b = bundle("failing");
    testsupport::writeFile(b.resources + "/InstallAgent.zip", row.archive());
    if (row.diskFull) wrapper_ = kDiskFull;
    terminal_ = row.signal == 0;  // where unzip could ask for a password, or whether to go on after a write error
    std::chrono::steady_clock::time_point signalled;
    const auto r = run(b, {}, row.signal != 0 ? slowUnzip() : Env{}, 20s, [&](pid_t pid) {
        if (row.signal == 0) return;
        waitUntil([&] { return testsupport::exists(dir_ / "unzip-started"); });
        signalled = std::chrono::steady_clock::now();
        ::kill(pid, row.signal);
    });
    expectFailed(r, {});
    EXPECT_TRUE(r.err.ends_with(row.ending + "Installation failed.\n")) << r.err;
    // unzip's own words name the archive, not the descriptor it read it through.
    EXPECT_EQ(r.err.find("/dev/fd/"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(b.resources + "/InstallAgent.zip") != std::string::npos, row.name == "corrupt") << r.err;
    EXPECT_EQ(r.tty.find("password"), std::string::npos) << r.tty;
    EXPECT_TRUE(row.signal == 0 || std::chrono::steady_clock::now() - signalled < 1500ms);
}

namespace {

const std::string kUnzipFailed = "Failed to unzip the install agent\nFailed to initialize the install agent.\n";
std::string anAgent() { return zipBytes(InstallerTest::agentFiles()); }

}  // namespace

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, ShippedBroken, ::testing::Values(
    BrokenRow{"corrupt", [] { return std::string("PK\x03\x04 this is not a zip archive"); }, kUnzipFailed},
    BrokenRow{"no install at the top", [] { return zipBytes({{"setup.sh", "echo hi"}}); }, "Failed to initialize the install agent.\n"},
    BrokenRow{"encrypted, with a terminal to prompt on", InstallerTest::encryptedArchive, kUnzipFailed},
    BrokenRow{"a full disk", InstallerTest::bombArchive, kUnzipFailed, true},
    BrokenRow{"SIGTERM while extracting", anAgent, "The installation was cancelled.\n", false, SIGTERM}), RowName());
// clang-format on

}  // namespace bi
