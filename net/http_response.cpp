#include "net/http_response.h"

#include <string.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>

namespace bi::net {
namespace {

std::string trim(const std::string& s) {
    const auto begin = s.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    return s.substr(begin, s.find_last_not_of(" \t\r\n") - begin + 1);
}

int64_t parseLength(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || value < 0) return -1;
    return value;
}

int64_t expectedLength(const HttpResponse& response) {
    const auto encoding = response.header("Transfer-Encoding");
    if (encoding && ::strcasestr(encoding->c_str(), "chunked") != nullptr) return -1;
    const auto length = response.header("Content-Length");
    return length ? parseLength(*length) : -1;
}

}  // namespace

std::optional<std::string> HttpResponse::header(const std::string& name) const {
    for (const auto& [field, value] : headerFields) {
        if (::strcasecmp(field.c_str(), name.c_str()) == 0) return value;
    }
    return std::nullopt;
}

void addHeaderLine(HttpResponse& r, std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
        r = HttpResponse{};
        const auto space = line.find(' ');
        if (space != std::string::npos) r.statusCode = std::strtol(line.c_str() + space + 1, nullptr, 10);
    } else if (line.empty()) {
        r.expectedContentLength = expectedLength(r);
    } else if ((line[0] == ' ' || line[0] == '\t') && !r.headerFields.empty()) {
        r.headerFields.back().second += " " + trim(line);
    } else if (const auto colon = line.find(':'); colon != std::string::npos) {
        r.headerFields.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
}

int64_t rangeStart(const HttpResponse& response) {
    const auto range = response.header("Content-Range");
    if (!range || range->rfind("bytes ", 0) != 0) return -1;
    const auto dash = range->find('-');
    return dash == std::string::npos ? -1 : parseLength(range->substr(6, dash - 6));
}

}  // namespace bi::net
