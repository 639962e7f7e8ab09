// The response as its header lines arrive: each response of a redirect chain starts afresh at
// its status line, so what remains is the final one's.
#pragma once

#include <cstdint>
#include <string>

#include "net/url_session.h"

namespace bi::net {

// Takes one header line as libcurl hands it over (with its line end).
void addHeaderLine(HttpResponse& response, std::string line);

// The first byte of "Content-Range: bytes FIRST-LAST/TOTAL"; -1 when there is none.
int64_t rangeStart(const HttpResponse& response);

}  // namespace bi::net
