#include "net/url.h"

namespace bi::net {

UrlParts splitUrl(const std::string& url) {
    UrlParts parts;
    const auto scheme = url.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    if (scheme != std::string::npos) parts.scheme = url.substr(0, scheme);
    const size_t tail = std::min(url.find_first_of("?#", start), url.size());
    const size_t path = std::min(url.find('/', start), tail);
    parts.authority = url.substr(start, path - start);
    parts.path = url.substr(path, tail - path);
    parts.tail = url.substr(tail);
    parts.host = parts.authority;
    if (const auto at = parts.host.rfind('@'); at != std::string::npos) parts.host.erase(0, at + 1);
    if (const auto colon = parts.host.rfind(':');
        colon != std::string::npos && parts.host.find(']', colon) == std::string::npos) {
        parts.host.resize(colon);
    }
    return parts;
}

std::string withPathSuffix(const std::string& url, const std::string& suffix) {
    const std::string tail = splitUrl(url).tail;
    return url.substr(0, url.size() - tail.size()) + suffix + tail;
}

std::string lastPathSegment(const std::string& url) {
    const std::string path = splitUrl(url).path;
    return path.substr(path.find_last_of('/') + 1);
}

std::string withoutPassword(const std::string& url) {
    const UrlParts parts = splitUrl(url);
    const auto at = parts.authority.rfind('@');
    const auto colon = parts.authority.find(':');
    if (at == std::string::npos || colon > at) return url;
    const size_t start = url.size() - parts.tail.size() - parts.path.size() - parts.authority.size();
    return url.substr(0, start + colon) + url.substr(start + at);
}

}  // namespace bi::net
