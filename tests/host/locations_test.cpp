#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "host/locations.h"
#include "host/temp_dir.h"
#include "platform/bundle.h"
#include "support.h"

namespace bi {

using testsupport::ScratchDir;

namespace {

struct ExecutableAt {
    explicit ExecutableAt(std::optional<std::string> path) { platform::setExecutablePathForTesting(std::move(path)); }
    ~ExecutableAt() { platform::resetExecutablePathForTesting(); }
};

mode_t modeOf(const std::string& path) {
    struct stat st{};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

}  // namespace

// What the end-to-end tests cannot show: a bundle without Resources, no executable path.
TEST(Bundle, FallsBackWithoutResourcesOrBundle) {
    ScratchDir dir;
    testsupport::makeDirs(dir / "Setup.app/Contents/MacOS");
    {
        ExecutableAt exe(dir / "Setup.app/Contents/MacOS/setup");
        EXPECT_EQ(getBundleLocation(), dir / "Setup.app");
        EXPECT_EQ(getDefaultInstallAgentLocation(), "");
    }
    {
        ExecutableAt exe(std::nullopt);
        EXPECT_EQ(getPathToExecutable(), "");
        EXPECT_EQ(getDirectoryOfExecutable(), "");
        EXPECT_EQ(getBundleLocation(), "");
        EXPECT_EQ(getDefaultInstallAgentLocation(), "");
    }
    {
        ExecutableAt exe("/setup.app/Contents/MacOS/x");
        EXPECT_EQ(getDirectoryOfExecutable(), "");  // the only separator is the first character
    }
}

TEST(TempDirTest, MakesAPrivateDirectoryAndRemovesEverythingInIt) {
    ScratchDir tmp;
    ::setenv("TMPDIR", (tmp.path() + "/").c_str(), 1);  // each test runs in a process of its own
    std::string path;
    {
        TempDir a;
        TempDir b;
        path = a.getDir();
        ASSERT_NE(path, b.getDir());
        EXPECT_EQ(path.substr(0, tmp.path().size() + 3), tmp.path() + "/qv");
        EXPECT_EQ(path.size(), tmp.path().size() + 9);
        EXPECT_EQ(modeOf(path), 0700u);
        // Nested content, a read-only directory and a link that points outside.
        testsupport::writeFile(path + "/x/y/z", "data");
        testsupport::writeFile(tmp / "outside", "keep");
        ::symlink((tmp / "outside").c_str(), (path + "/x/link").c_str());
        ::chmod((path + "/x").c_str(), 0500);
    }
    EXPECT_FALSE(testsupport::exists(path));
    EXPECT_EQ(testsupport::readFile(tmp / "outside"), "keep");
}

TEST(TempDirTest, CreationFailureLeavesNoDirectory) {
    ScratchDir tmp;
    ::setenv("TMPDIR", (tmp / "missing").c_str(), 1);
    TempDir dir;
    EXPECT_EQ(dir.getDir(), "");
    EXPECT_TRUE(testsupport::listDir(tmp.path()).empty());
}

}  // namespace bi
