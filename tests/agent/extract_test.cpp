#include "agent/extract.h"

#include <gtest/gtest.h>

#include "support.h"

namespace bi {

namespace {

void ignore(const std::string&, bool) {}

}  // namespace

// unzip reads "*", "?" and "[" in an archive's name as a pattern over the archive's directory,
// and a leading "-" as options: only the archive named is extracted, whatever its name.
TEST(Extract, TakesTheArchiveNamedAndNoOtherWhateverItsName) {
    testsupport::ScratchDir d;
    for (const std::string& name : {std::string("InstallAgent_*.zip"), std::string("InstallAgent_[o]ther.zip"),
                                    std::string("-d x.zip")}) {
        SCOPED_TRACE(name);
        testsupport::makeZip(d / "InstallAgent_other.zip", {{"other.txt", "other"}});
        testsupport::makeZip(d / name, {{"mine.txt", "mine"}});
        testsupport::makeDirs(d / "out");
        EXPECT_TRUE(unzipInstallAgent(d / name, d / "out", "unzip", ignore));
        EXPECT_EQ(testsupport::listDir(d / "out"), std::vector<std::string>{"mine.txt"});
        testsupport::removeTree(d / "out");
        ::unlink((d / name).c_str());
    }
}

}  // namespace bi
