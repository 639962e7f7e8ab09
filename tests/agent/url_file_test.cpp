#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "agent/url_file.h"
#include "support.h"

using testsupport::ScratchDir;

namespace {

std::vector<std::string> reported;
void recordReport(const std::string& message, bool isError) {
    reported.push_back(std::string(isError ? "E:" : "I:") + message);
}

std::string readUrl(const std::string& path) { return readEndpointUrlFile(path, recordReport); }

}  // namespace

TEST(UrlFile, FirstLineUntrimmed) {
    ScratchDir dir;
    reported.clear();
    const std::string file = dir / "installAgentURL.txt";
    testsupport::writeFile(file, "https://example.test/a.zip\nsecond line\n");
    EXPECT_EQ(readUrl(file), "https://example.test/a.zip");
    testsupport::writeFile(file, " https://example.test/a.zip\r\n");
    EXPECT_EQ(readUrl(file), " https://example.test/a.zip\r");
    testsupport::writeFile(file, "http://x/no-newline");
    EXPECT_EQ(readUrl(file), "http://x/no-newline");
    testsupport::writeFile(file, "\nhttp://x/");
    EXPECT_EQ(readUrl(file), "");
    EXPECT_EQ(readUrl(dir / "missing.txt"), "");
    EXPECT_TRUE(reported.empty());
}

TEST(UrlFile, UnopenableFileIsReportedOnce) {
    ScratchDir dir;
    reported.clear();
    // A socket exists but cannot be opened, even by root.
    const std::string path = dir / "installAgentURL.txt";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(readUrl(path), "");
    ::close(fd);
    EXPECT_EQ(reported, std::vector<std::string>{"E:Failed to open install agent URL file"});
}
