#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "agent/url_file.h"
#include "support.h"

namespace bi {

using testsupport::ScratchDir;

namespace {

std::vector<std::string> reported;
void recordReport(const std::string& message, bool isError) {
    reported.push_back(std::string(isError ? "E:" : "I:") + message);
}


}  // namespace

TEST(UrlFile, UnopenableFileIsReportedOnce) {
    ScratchDir dir;
    // A socket exists but cannot be opened, even by root.
    const std::string path = dir / "installAgentURL.txt";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(readEndpointUrlFile(path, recordReport), "");
    ::close(fd);
    EXPECT_EQ(reported, std::vector<std::string>{"E:Failed to open install agent URL file"});
}

}  // namespace bi
