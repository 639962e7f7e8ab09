// The shipped road: the built installer on bundles that carry their agent, extracted into a
// private working directory that goes with the run.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "fixture.h"

namespace bi {

using namespace std::chrono_literals;

namespace {

// Odd bytes for names: blanks, quotes, command substitutions, a line feed, bytes that are not
// UTF-8 and a leading dash.
const std::string kWeird = "-x a 'q' \"d\" $(touch pwned1) `touch pwned2`;touch pwned3\nl2\xff\xfe";

class ShippedRoad : public InstallerTest {
protected:
    // Files named "pwned<digit>" anywhere in the scratch directory: the trace of a command that ran.
    std::vector<std::string> pwned() const {
        std::vector<std::string> found;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(dir_.path(), ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.starts_with("pwned") && name.size() == 6) found.push_back(it->path());
        }
        return found;
    }
};

}  // namespace

TEST_F(ShippedRoad, TheAgentStartsFromAPrivateWorkingDirectoryWithEveryArgumentUnchanged) {
    const std::vector<std::string> hostile = {
        "a b",          "'quoted'", "\"dq\"",    "$(touch pwned4)", "`touch pwned5`", "*",   "-n",
        "line1\nline2", "",         "tab\there", "\\back",          "; touch pwned6", kWeird};
    struct Row {
        std::string name, parent;
        std::map<std::string, std::map<std::string, std::string>> archives;  // file name -> files
        std::vector<std::string> args;
        Env env = {};
    };
    auto other = agentFiles();
    other["install"] = "#!/bin/sh\necho other >> \"$AGENT_RUNS\"\n";
    // clang-format off
    const std::vector<Row> rows = {
        {"InstallAgent.zip", "plain", {{"InstallAgent.zip", agentFiles()}}, {"-mode", "silent"}},
        {"InstallAgent.zip before any InstallAgent_*.zip", "both",
         {{"InstallAgent.zip", agentFiles()}, {"InstallAgent_0.zip", other}, {"InstallAgent_9.zip", other}}, {}},
        {"an InstallAgent_*.zip, and an agent that fails", "alternative", {{"InstallAgent_2.3.zip", agentFiles()}},
         {"x"}, {{"AGENT_EXIT", "7"}}},
        {"odd names, hostile arguments, no bundle.zip", "my apps 'x' \"y\" $(touch pwned1) `touch pwned2`;touch pwned3",
         {{"InstallAgent_" + kWeird + ".zip", agentFiles()}}, hostile},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto b = bundle(row.parent);
        for (const auto& [name, files] : row.archives) testsupport::makeZip(b.resources + "/" + name, files);
        if (row.name.ends_with("no bundle.zip")) ::unlink((b.resources + "/bundle.zip").c_str());
        ::unlink(runs_.c_str());
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
        EXPECT_EQ(pwned(), std::vector<std::string>{});
    }

    // The test variable puts the agent beside the bundle; the working directory still comes and goes.
    const auto b = bundle("beside", "InstallAgent.zip");
    for (const char* value : {"", "1"}) {
        const auto r = run(b, {"x"}, {{"__QV_BOOTSTRAP_INSTALLER_UNITTEST__", value}});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(testsupport::readFile(self_), dir_ / "beside/install");
        EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
        ::unlink((dir_ / "beside/install").c_str());
    }
}

TEST_F(ShippedRoad, AnArchiveThatCannotStartFailsClearlyAndLeavesNothing) {
    auto bomb = agentFiles();
    bomb["lib/zeros.bin"] = std::string(3 << 20, '\0');  // small archive, large when extracted
    testsupport::writeFile(dir_ / "enc/install", testsupport::recordingAgentScript(), 0755);
    ASSERT_EQ(
        testsupport::runProcess({"/usr/bin/zip", "-q", "-j", "-P", "secret", dir_ / "enc.zip", dir_ / "enc/install"})
            .exitStatus,
        0);
    const std::string unzipFailed = "Failed to unzip the install agent\nFailed to initialize the install agent.\n";
    struct Row {
        std::string name, archive, ending;
        std::vector<std::string> wrapper = {};
        int signal = 0;
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"corrupt", "PK\x03\x04 this is not a zip archive", unzipFailed},
        {"no install at the top", zipBytes({{"setup.sh", "echo hi"}}), "Failed to initialize the install agent.\n"},
        {"encrypted, with a terminal to prompt on", testsupport::readFile(dir_ / "enc.zip"), unzipFailed},
        {"a full disk", zipBytes(bomb), unzipFailed, {"/bin/sh", "-c", "trap '' XFSZ; exec \"$0\" \"$@\"", "/usr/bin/prlimit",
                                                      "--fsize=1000000"}},
        {"SIGINT while extracting", zipBytes(agentFiles()), "The installation was cancelled.\n", {}, SIGINT},
        {"SIGTERM while extracting", zipBytes(agentFiles()), "The installation was cancelled.\n", {}, SIGTERM},
        {"SIGHUP while extracting", zipBytes(agentFiles()), "The installation was cancelled.\n", {}, SIGHUP},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto b = bundle("failing");
        testsupport::writeFile(b.resources + "/InstallAgent.zip", row.archive);
        wrapper_ = row.wrapper;
        terminal_ = row.name.starts_with("encrypted");
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
        if (row.name == "corrupt") {
            EXPECT_NE(r.err.find(b.resources + "/InstallAgent.zip"), std::string::npos) << r.err;
        }
        EXPECT_EQ(r.tty.find("password"), std::string::npos) << r.tty;
        if (row.signal != 0) {
            EXPECT_LT(std::chrono::steady_clock::now() - signalled, 1500ms);
        }
        testsupport::removeTree(dir_ / "failing");
        ::unlink((dir_ / "unzip-started").c_str());
    }
}

}  // namespace bi
