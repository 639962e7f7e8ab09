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
    const auto range = parseContentRange(response.header("Content-Range").value_or(""));
    return range ? range->first : -1;
}

std::optional<ContentRange> parseContentRange(const std::string& value) {
    const std::string v = trim(value);
    if (::strncasecmp(v.c_str(), "bytes ", 6) != 0) return std::nullopt;
    const auto dash = v.find('-', 6), slash = v.find('/', 6);
    if (dash == std::string::npos || slash == std::string::npos || dash > slash) return std::nullopt;
    ContentRange r{parseLength(trim(v.substr(6, dash - 6))), parseLength(trim(v.substr(dash + 1, slash - dash - 1))),
                   v.substr(slash + 1) == "*" ? -1 : parseLength(v.substr(slash + 1))};
    if (r.first < 0 || r.last < r.first || (v.substr(slash + 1) != "*" && r.total <= r.last)) return std::nullopt;
    return r;
}

std::optional<std::string> byteRangesBoundary(const std::string& contentType) {
    const auto semicolon = contentType.find(';');
    if (::strcasecmp(trim(contentType.substr(0, semicolon)).c_str(), "multipart/byteranges") != 0) return std::nullopt;
    for (size_t at = semicolon; at != std::string::npos;) {
        const auto next = contentType.find(';', at + 1);
        const std::string parameter =
            trim(contentType.substr(at + 1, next == std::string::npos ? next : next - at - 1));
        at = next;
        if (::strncasecmp(parameter.c_str(), "boundary=", 9) != 0) continue;
        std::string boundary = parameter.substr(9);
        if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"')
            boundary = boundary.substr(1, boundary.size() - 2);
        // RFC 2046: 1 to 70 characters.
        if (boundary.empty() || boundary.size() > 70) return std::nullopt;
        return boundary;
    }
    return std::nullopt;
}

std::string rangeList(const std::vector<ByteRange>& ranges) {
    std::string list;
    for (const ByteRange& r : ranges) {
        if (!list.empty()) list += ',';
        list += r.first < 0 ? std::to_string(r.first)
                            : std::to_string(r.first) + "-" + (r.last >= 0 ? std::to_string(r.last) : "");
    }
    return list;
}

}  // namespace bi::net
