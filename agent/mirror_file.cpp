#include "agent/mirror_file.h"

#include <sys/stat.h>

#include <cctype>

#include "host/files.h"
#include "net/url.h"

namespace bi {

namespace {

constexpr size_t kLongestFile = size_t{64} * 1024;

std::string trimmed(const std::string& line) {
    const auto begin = line.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    return line.substr(begin, line.find_last_not_of(" \t\r") - begin + 1);
}

bool isText(const std::string& line) {
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f) return false;
    }
    return true;
}

// Why a line is not a URL to fetch from; "" when it is one.
std::string badUrl(const std::string& url) {
    if (url.find_first_of(" \t") != std::string::npos) return "holds a blank";
    const net::UrlParts parts = net::splitUrl(url);
    if (url.find("://") == std::string::npos) return "is not an absolute URL";
    std::string name = parts.scheme;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name != "http" && name != "https") return "names a scheme other than http and https";
    if (parts.authority.empty()) return "names no host";
    return "";
}

MirrorList refused(size_t number, const std::string& line, const std::string& why) {
    return {{}, "line " + std::to_string(number) + " " + why + ": " + line.substr(0, 200)};  // the log escapes it
}

}  // namespace

MirrorList parseMirrorFile(const std::string& text) {
    MirrorList list;
    size_t number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = trimmed(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (!isText(line)) return refused(number, line, "is not text");
        if (line.empty() || line.starts_with('#')) continue;
        if (const std::string why = badUrl(line); !why.empty()) return refused(number, line, why);
        if (list.urls.size() == kMostMirrors) return refused(number, line, "is one more than 8 mirrors");
        list.urls.push_back(line);
    }
    return list;
}

MirrorList readMirrorFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    const auto text = readSmallFile(path, kLongestFile);
    if (!text) return {{}, "it cannot be read, or is larger than 64 KiB"};
    return parseMirrorFile(*text);
}

}  // namespace bi
