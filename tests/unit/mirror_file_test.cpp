#include "agent/mirror_file.h"

#include <gtest/gtest.h>

#include "support.h"

using namespace bi;

// A bad line makes the whole file ignored, named by its number; otherwise every URL in order.
TEST(MirrorFile, AnyBadLineIgnoresTheFileAndNamesIt) {
    const std::string a = "http://a/x.zip", b = "HTTPS://b:8443/x.zip?q=1";
    std::string nine;
    for (int i = 1; i <= 9; ++i) nine += "http://m" + std::to_string(i) + "/x.zip\n";
    // clang-format off
    const struct { std::string text; std::vector<std::string> urls; std::string ignored; } rows[] = {
        {"", {}, ""},
        {"# mirrors\n\n  " + a + "  \r\n\t\n#" + b + "\n" + b, {a, b}, ""},
        {nine.substr(0, nine.rfind("http://m9")), {"http://m1/x.zip", "http://m2/x.zip", "http://m3/x.zip", "http://m4/x.zip",
         "http://m5/x.zip", "http://m6/x.zip", "http://m7/x.zip", "http://m8/x.zip"}, ""},
        {"#\n" + nine, {}, "line 10 is one more than 8 mirrors: http://m9/x.zip"},
        {a + "\ndownloads.example.com/x.zip\n", {}, "line 2 is not an absolute URL: downloads.example.com/x.zip"},
        {a + "\n/x.zip\n", {}, "line 2 is not an absolute URL: /x.zip"},
        {"ftp://a/x.zip\n", {}, "line 1 names a scheme other than http and https: ftp://a/x.zip"},
        {"http://\n", {}, "line 1 names no host: http://"},
        {"https:///x.zip\n", {}, "line 1 names no host: https:///x.zip"},
        {"http://a/x y.zip\n", {}, "line 1 holds a blank: http://a/x y.zip"},
        {a + "\n" + std::string("# \0 ", 4) + "\n", {}, "line 2 is not text: # \\x00"},
        {"PK\x03\x04\x14", {}, "line 1 is not text: PK\\x03\\x04\\x14"},
    };
    // clang-format on
    for (const auto& row : rows) {
        const MirrorList list = parseMirrorFile(row.text);
        EXPECT_EQ(list.urls, row.urls) << row.text;
        EXPECT_EQ(list.ignored, row.ignored) << row.text;
    }
    testsupport::ScratchDir dir;
    EXPECT_EQ(readMirrorFile(dir / "none").ignored, "");
    testsupport::writeFile(dir / "big", std::string(65 * 1024, '#'));
    EXPECT_NE(readMirrorFile(dir / "big").ignored, "");
}
