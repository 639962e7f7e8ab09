#include "agent/mirror_file.h"

#include <gtest/gtest.h>

using namespace bi;

// A bad line makes the whole file ignored, named by its number; otherwise every URL in order.
TEST(MirrorFile, AnyBadLineIgnoresTheFileAndNamesIt) {
    std::string nine;
    for (int i = 1; i <= 9; ++i) nine += "http://m" + std::to_string(i) + "/a\n";
    // clang-format off
    const struct { std::string text; std::vector<std::string> urls; std::string ignored; } rows[] = {
        {"# mirrors\n\n  http://a/x  \r\n\t\n#b\nHTTPS://b:8/x?q", {"http://a/x", "HTTPS://b:8/x?q"}, ""},
        {nine.substr(0, nine.find("http://m9")), {"http://m1/a", "http://m2/a", "http://m3/a", "http://m4/a", "http://m5/a", "http://m6/a", "http://m7/a", "http://m8/a"}, ""},
        {"#\n" + nine, {}, "line 10 is one more than 8 mirrors: http://m9/a"},
        {"http://a/x\n/x.zip\n", {}, "line 2 is not an absolute URL: /x.zip"},
        {"ftp://a/x.zip", {}, "line 1 names a scheme other than http and https: ftp://a/x.zip"},
        {"http://\n", {}, "line 1 names no host: http://"},
        {"http://a/x y", {}, "line 1 holds a blank: http://a/x y"},
        {std::string("# \0", 3), {}, "line 1 is not text: # \\x00"},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(parseMirrorFile(row.text).urls, row.urls) << row.text;
        EXPECT_EQ(parseMirrorFile(row.text).ignored, row.ignored) << row.text;
    }
}
