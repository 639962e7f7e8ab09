// The response as its header lines arrive: each response of a redirect chain starts afresh at
// its status line, so what remains is the final one's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/url_session.h"

namespace bi::net {

// Takes one header line as libcurl hands it over (with its line end).
void addHeaderLine(HttpResponse& response, std::string line);

// The first byte of "Content-Range: bytes FIRST-LAST/TOTAL"; -1 when there is none.
int64_t rangeStart(const HttpResponse& response);

struct ContentRange {
    int64_t first = 0;
    int64_t last = 0;
    int64_t total = -1;  // -1 for "*"
};
// "bytes FIRST-LAST/TOTAL" (or ".../*"), FIRST <= LAST < TOTAL; nullopt for anything else.
std::optional<ContentRange> parseContentRange(const std::string& value);

// The boundary of a "multipart/byteranges; boundary=..." type, quoted or not; nullopt for
// another type.
std::optional<std::string> byteRangesBoundary(const std::string& contentType);

// The value of a Range header for ranges, without its "bytes=": "0-99,200-", "-65557".
std::string rangeList(const std::vector<ByteRange>& ranges);

}  // namespace bi::net
