#include <gtest/gtest.h>

#include <cstdlib>

#include "agent/cache.h"
#include "host/constants.h"
#include "support.h"

using testsupport::ScratchDir;

namespace {

class CacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* h = std::getenv("HOME")) oldHome_ = h;
    }
    void TearDown() override { oldHome_ ? ::setenv("HOME", oldHome_->c_str(), 1) : ::unsetenv("HOME"); }
    std::optional<std::string> oldHome_;
};

}  // namespace

TEST_F(CacheTest, CacheDirectoryFollowsHome) {
    EXPECT_EQ(INSTALL_AGENT_CACHE_PATH, ".tolvar/app_installer_cache/V0917k/xarc64/");
    ::setenv("HOME", "/home/ann", 1);
    EXPECT_EQ(getInstallAgentCacheDir(), "/home/ann/.tolvar/app_installer_cache/V0917k/xarc64/");
    ::setenv("HOME", "/home/ann/", 1);
    EXPECT_EQ(getInstallAgentCacheDir(), "/home/ann/.tolvar/app_installer_cache/V0917k/xarc64/");
    ::setenv("HOME", "/", 1);
    EXPECT_EQ(getInstallAgentCacheDir(), "/.tolvar/app_installer_cache/V0917k/xarc64/");
    ::setenv("HOME", "", 1);
    EXPECT_EQ(getInstallAgentCacheDir(), "/tmp/.tolvar/app_installer_cache/V0917k/xarc64/");
    ::unsetenv("HOME");
    EXPECT_EQ(getInstallAgentCacheDir(), "/tmp/.tolvar/app_installer_cache/V0917k/xarc64/");

    EXPECT_EQ(getInstallAgentExecutable("/a/"), "/a/install");
    EXPECT_EQ(getInstallAgentExecutable("/a"), "/a/install");
    EXPECT_EQ(getInstallAgentExecutable(""), "install");
}

TEST_F(CacheTest, AgentIsOnDiskOnlyWithItsInstallFile) {
    ScratchDir home;
    ::setenv("HOME", home.path().c_str(), 1);
    const std::string agentDir = getInstallAgentCacheDir() + "installagent/";
    testsupport::makeDirs(agentDir);
    EXPECT_EQ(installAgentDirOnDisk(), "");
    testsupport::makeDirs(agentDir + "install");
    EXPECT_EQ(installAgentDirOnDisk(), agentDir);
    ::rmdir((agentDir + "install").c_str());
    testsupport::writeFile(home / "target", "#!/bin/sh\n");
    ::symlink((home / "target").c_str(), (agentDir + "install").c_str());
    EXPECT_EQ(installAgentDirOnDisk(), agentDir);
    ::unlink((home / "target").c_str());  // a dangling link is no agent
    EXPECT_EQ(installAgentDirOnDisk(), "");
}

TEST_F(CacheTest, ValidationStringRoundTripAndComparisonRules) {
    ScratchDir dir;
    const std::string file = dir / ".validatestring";
    EXPECT_FALSE(isCacheValid(dir.path(), "\"abc\""));  // no file

    writeValidationString(dir.path() + "/", "W/\"abc-123\"");
    EXPECT_EQ(testsupport::readFile(file), "W/\"abc-123\"");
    EXPECT_TRUE(isCacheValid(dir.path() + "/", "W/\"abc-123\""));
    EXPECT_FALSE(isCacheValid(dir.path(), "W/\"abc-12"));    // new tag a prefix of the stored one
    EXPECT_FALSE(isCacheValid(dir.path(), "W/\"abc-1234"));  // stored one a prefix of the new
    EXPECT_FALSE(isCacheValid(dir.path(), ""));

    writeValidationString(dir.path(), "");  // an empty tag changes nothing
    EXPECT_EQ(testsupport::readFile(file), "W/\"abc-123\"");

    // A tag with a line feed was never stored whole: its first line must not match.
    testsupport::writeFile(file, "\"t\"\nmore text");
    EXPECT_FALSE(isCacheValid(dir.path(), "\"t\""));
    EXPECT_FALSE(isCacheValid(dir.path(), "\"t\"\nmore text"));
    testsupport::writeFile(file, "\"t\"\n");
    EXPECT_TRUE(isCacheValid(dir.path(), "\"t\""));
    testsupport::writeFile(file, "\"t\"\r");
    EXPECT_FALSE(isCacheValid(dir.path(), "\"t\""));
    testsupport::writeFile(file, "");
    EXPECT_FALSE(isCacheValid(dir.path(), "\"t\""));

    writeValidationString(dir / "missing", "\"t\"");  // no directory is created
    EXPECT_FALSE(testsupport::exists(dir / "missing"));
}
