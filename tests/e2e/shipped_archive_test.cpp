// The built installer, run as a process on bundles that ship the install agent.
#include <gtest/gtest.h>

#include "fixture.h"

namespace {

class ShippedArchive : public InstallerTest {};

}  // namespace

TEST_F(ShippedArchive, StartsTheAgentFromAPrivateWorkingDirectoryAndRemovesIt) {
    const auto b = bundle("apps", "InstallAgent.zip");
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
    const auto b = bundle(parent, "InstallAgent.zip");
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
    auto b = bundle();
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
    const auto b = bundle("apps", "InstallAgent.zip");
    for (const char* value : {"", "1"}) {
        const auto r = run(b, {"x"}, {{"__QV_BOOTSTRAP_INSTALLER_UNITTEST__", value}});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        // The agent lies beside the bundle; the temporary directory was still made and removed.
        EXPECT_EQ(testsupport::readFile(self_), dir_ / "apps/install");
        EXPECT_TRUE(testsupport::listDir(tmp_).empty());
        ::unlink((dir_ / "apps/install").c_str());
    }
}
