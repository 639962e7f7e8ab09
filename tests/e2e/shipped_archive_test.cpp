// The built installer, run as a process on bundles that ship the install agent.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support.h"

using testsupport::ProcessResult;
using testsupport::ScratchDir;

namespace {

class ShippedArchive : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::makeDirs(tmp_);
        testsupport::makeDirs(home_);
    }

    testsupport::Bundle bundle(const std::string& parentName = "apps", const std::string& archive = "InstallAgent.zip",
                               const std::map<std::string, std::string>& agent = {}) {
        auto b = testsupport::makeBundle(BI_INSTALLER, dir_ / parentName);
        auto files = agent;
        if (files.empty()) files = {{"install", testsupport::recordingAgentScript()}, {"lib/data.txt", "x"}};
        testsupport::makeZip(b.resources + "/" + archive, files);
        return b;
    }

    ProcessResult run(const testsupport::Bundle& b, std::vector<std::string> args = {},
                      std::map<std::string, std::optional<std::string>> env = {}) {
        args.insert(args.begin(), b.executable);
        testsupport::ProcessOptions options;
        options.env = {{"TMPDIR", tmp_}, {"HOME", home_}, {"AGENT_RECORD", record_}, {"AGENT_SELF", self_},
                       {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt},
                       {"__QV_BOOTSTRAP_INSTALLER_UNITTEST__", std::nullopt}};
        for (auto& [k, v] : env) options.env[k] = v;
        return testsupport::runProcess(args, options);
    }

    std::vector<std::string> recorded() const { return testsupport::splitRecord(testsupport::readFile(record_)); }

    ScratchDir dir_;
    std::string tmp_ = dir_ / "tmp";
    std::string home_ = dir_ / "home";
    std::string record_ = dir_ / "record";
    std::string self_ = dir_ / "self";
};

}  // namespace

TEST_F(ShippedArchive, StartsTheAgentFromAPrivateWorkingDirectoryAndRemovesIt) {
    const auto b = bundle();
    const auto r = run(b, {"-mode", "silent"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(recorded(), (std::vector<std::string>{"-installbundle", b.resources + "/bundle.zip", "-mode", "silent"}));
    // It ran from tmp/qvXXXXXX/install, which is gone now; the per-user cache was not touched.
    const std::string self = testsupport::readFile(self_);
    EXPECT_EQ(self.substr(0, tmp_.size() + 3), tmp_ + "/qv");
    EXPECT_EQ(self.substr(tmp_.size() + 9), "/install");
    EXPECT_TRUE(testsupport::listDir(tmp_).empty());
    EXPECT_TRUE(testsupport::listDir(home_).empty());
}

TEST_F(ShippedArchive, AlternativeArchiveNameAndAgentExitStatusIgnored) {
    const auto b = bundle("apps", "InstallAgent_2.3.zip");
    testsupport::writeFile(b.resources + "/installagent_1.zip", "not an archive");
    const auto r = run(b, {}, {{"AGENT_EXIT", "7"}});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(recorded(), (std::vector<std::string>{"-installbundle", b.resources + "/bundle.zip"}));
}

TEST_F(ShippedArchive, HostileArgumentsAndBundlePathArriveUnchangedAndRunNothing) {
    const std::string parent = "my apps 'x' \"y\" $(touch pwned1) `touch pwned2`;touch pwned3";
    const auto b = bundle(parent);
    const std::vector<std::string> args = {"a b",      "'quoted'", "\"dq\"",   "$(touch pwned4)", "`touch pwned5`",
                                           "*",        "-n",       "line1\nline2", "",            "tab\there",
                                           "\\back", "; touch pwned6", "\xff\xfe not utf-8"};
    const auto r = run(b, args);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    std::vector<std::string> expected = {"-installbundle", b.resources + "/bundle.zip"};
    expected.insert(expected.end(), args.begin(), args.end());
    EXPECT_EQ(recorded(), expected);
    for (const std::string& where : {dir_.path(), dir_ / parent, b.resources, std::string(".")}) {
        for (int i = 1; i <= 6; ++i) EXPECT_FALSE(testsupport::exists(where + "/pwned" + std::to_string(i)));
    }
}

TEST_F(ShippedArchive, CorruptArchiveFailsCleanly) {
    auto b = testsupport::makeBundle(BI_INSTALLER, dir_ / "apps");
    testsupport::writeFile(b.resources + "/InstallAgent.zip", "PK\x03\x04 this is not a zip archive");
    const auto r = run(b);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_NE(r.err.find("Failed to unzip the install agent\n"
                         "Failed to initialize the install agent.\n"
                         "Installation failed.\n"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(testsupport::exists(record_));
    EXPECT_TRUE(testsupport::listDir(tmp_).empty());
}

TEST_F(ShippedArchive, ArchiveWithoutInstallIsAFailedExtraction) {
    const auto b = bundle("apps", "InstallAgent.zip", {{"setup.sh", "echo hi"}});
    const auto r = run(b);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(r.err, "Failed to initialize the install agent.\nInstallation failed.\n");
    EXPECT_TRUE(testsupport::listDir(tmp_).empty());
}

TEST_F(ShippedArchive, TestVariableWorksBesideTheProgram) {
    const auto b = bundle();
    for (const char* value : {"", "1"}) {
        const auto r = run(b, {"x"}, {{"__QV_BOOTSTRAP_INSTALLER_UNITTEST__", value}});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        // The agent lies beside the bundle; the temporary directory was still made and removed.
        EXPECT_EQ(testsupport::readFile(self_), dir_ / "apps/install");
        EXPECT_TRUE(testsupport::listDir(tmp_).empty());
        ::unlink((dir_ / "apps/install").c_str());
    }
}

TEST_F(ShippedArchive, NoArchiveAndNoWindowYetFails) {
    auto b = testsupport::makeBundle(BI_INSTALLER, dir_ / "apps");
    const auto r = run(b);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_NE(r.err.find("Installation failed.\n"), std::string::npos);
    // The cache's agent directory is made before the download starts, private to the user.
    struct stat st{};
    ASSERT_EQ(::stat((home_ + "/.tolvar/app_installer_cache/V0917k/xarc64/installagent").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(testsupport::listDir(tmp_).empty());
}
