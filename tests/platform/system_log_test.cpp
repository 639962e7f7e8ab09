#include "platform/system_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <regex>
#include <thread>

#include "support.h"

namespace {

TEST(SystemLog, WritesOneStampedLinePerCallOnStandardError) {
    testsupport::ScratchDir scratch;
    const std::string capture = scratch / "stderr";
    const int saved = ::dup(STDERR_FILENO);
    const int file = ::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(file, STDERR_FILENO);
    ::close(file);
    const std::time_t before = std::time(nullptr);
    platform::systemLog("first: 100% done");
    pid_t otherTid = 0;
    std::thread([&] {
        otherTid = ::gettid();
        platform::systemLog("second");
    }).join();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    char exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string program = std::strrchr(exe, '/') + 1;
    const std::string prefix = R"((\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.\d{3} )" + program + R"(\[)" +
                               std::to_string(::getpid()) + ":";
    const std::regex expected(prefix + std::to_string(::gettid()) + R"(\] first: 100% done\n)" + prefix +
                              std::to_string(otherTid) + R"(\] second\n)");
    const std::string out = testsupport::readFile(capture);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out, m, expected)) << out;

    // Local time, not UTC.
    std::tm stamp{};
    stamp.tm_year = std::stoi(m[1]) - 1900;
    stamp.tm_mon = std::stoi(m[2]) - 1;
    stamp.tm_mday = std::stoi(m[3]);
    stamp.tm_hour = std::stoi(m[4]);
    stamp.tm_min = std::stoi(m[5]);
    stamp.tm_sec = std::stoi(m[6]);
    stamp.tm_isdst = -1;
    EXPECT_LE(std::abs(std::difftime(std::mktime(&stamp), before)), 5.0);
}

}  // namespace
