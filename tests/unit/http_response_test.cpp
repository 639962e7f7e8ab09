#include "net/http_response.h"

#include <gtest/gtest.h>

using namespace bi;

TEST(HttpResponse, TheFinalResponsesStatusLengthRangeAndFieldsAreRead) {
    const std::string ok = "HTTP/1.1 200 OK\r\n", part = "HTTP/1.1 206 Partial\r\nContent-Range: ";
    // clang-format off
    const struct { std::string lines; long status; int64_t length, range; const char* name = "X"; const char* value = nullptr; } rows[] = {
        {ok + "Content-Length: 42\r\n\r\n", 200, 42, -1, "content-LENGTH", "42"},
        {"HTTP/1.1 301 Moved\r\nETag: \"hop\"\r\n\r\n" + ok + "Content-Length: 5\r\n\r\n", 200, 5, -1, "ETag"},
        {"HTTP/2 404\r\nX:   spaced\t \r\n\r\n", 404, -1, -1, "x", "spaced"}, {ok + "X: http://h:8/x\r\n", 200, -1, -1, "X", "http://h:8/x"},
        {ok + "X: one\r\n  two\r\n\tthree\r\n\r\n", 200, -1, -1, "X", "one two three"}, {ok + "X no colon\r\n\r\n", 200, -1, -1, "X no colon"},
        {ok + "Transfer-Encoding: gzip, Chunked\r\nContent-Length: 10\r\n\r\n", 200, -1, -1}, {ok + "Content-Length: -5\r\n\r\n", 200, -1, -1},
        {ok + "Content-Length: 12abc\r\n\r\n", 200, -1, -1}, {ok + "Content-Length: 99999999999999999999\r\n\r\n", 200, -1, -1},
        {ok + "Content-Length: 7\r\n", 200, -1, -1}, {part + "bytes 100-199/200\r\n\r\n", 206, -1, 100}, {part + "bytes 0-99/*\r\n\r\n", 206, -1, 0},
        {part + "bytes */200\r\n\r\n", 206, -1, -1}, {part + "bytes 5\r\n\r\n", 206, -1, -1}, {part + "bytes 1x-9/10\r\n\r\n", 206, -1, -1},
        {part + "bytes 7-9/10\r\n\r\n" + ok + "\r\n", 200, -1, -1}, {part + "items 5-9/10\r\n\r\n", 206, -1, -1},
        {part + "bytes 9-7/10\r\n\r\n", 206, -1, -1}, {part + "bytes 7-10/10\r\n\r\n", 206, -1, -1},  // backwards, past the end
    };
    // clang-format on
    for (const auto& r :
         rows) {  // the lines as libcurl hands them over, each with its end; a length counts once they are whole
        net::HttpResponse response;
        for (size_t at = 0, end; at < r.lines.size(); at = end + 1) {
            net::addHeaderLine(response, r.lines.substr(at, (end = r.lines.find('\n', at)) - at + 1));
        }
        EXPECT_EQ(std::tie(response.statusCode, response.expectedContentLength), std::tie(r.status, r.length))
            << r.lines;
        EXPECT_EQ(net::rangeStart(response), r.range) << r.lines;
        EXPECT_EQ(response.header(r.name), r.value ? std::optional<std::string>(r.value) : std::nullopt) << r.lines;
    }
}
