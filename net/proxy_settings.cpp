#include "net/proxy_settings.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <sstream>

#include "net/url.h"

namespace bi::net {
namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

bool startsWithNoCase(const std::string& text, const char* prefix) {
    return ::strncasecmp(text.c_str(), prefix, std::char_traits<char>::length(prefix)) == 0;
}

// Whether host (an IPv4 address) lies in a.b.c.d/bits, or is a.b.c.d itself.
bool inIpv4Range(const std::string& host, const std::string& entry) {
    const auto slash = entry.find('/');
    in_addr h{}, net{};
    if (::inet_pton(AF_INET, host.c_str(), &h) != 1 ||
        ::inet_pton(AF_INET, entry.substr(0, slash).c_str(), &net) != 1) {
        return false;
    }
    int bits = 32;
    if (slash != std::string::npos) {
        const std::string b = entry.substr(slash + 1);
        if (b.empty() || b.size() > 2 || b.find_first_not_of("0123456789") != std::string::npos) return false;
        bits = std::stoi(b);
        if (bits > 32) return false;
    }
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    return (ntohl(h.s_addr) & mask) == (ntohl(net.s_addr) & mask);
}

}  // namespace

std::optional<std::string> environmentProxyVariable(const std::string& url, const Getenv& getenv) {
    const auto set = [&](const char* name) {
        const char* value = getenv(name);
        return value != nullptr && *value != '\0';
    };
    if (!set("http_proxy") && !set("https_proxy") && !set("HTTPS_PROXY") && !set("all_proxy") && !set("ALL_PROXY"))
        return std::nullopt;
    // libcurl's own order; it never reads HTTP_PROXY in capitals.
    static const std::vector<const char*> forHttps = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
    static const std::vector<const char*> forHttp = {"http_proxy", "all_proxy", "ALL_PROXY"};
    for (const char* name : startsWithNoCase(url, "https:") ? forHttps : forHttp) {
        if (set(name)) return name;
    }
    return "";
}

bool bypassesProxy(const std::string& url, const std::string& noProxy) {
    std::string host = lower(splitUrl(url).host);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (!host.empty() && host.back() == '.') host.pop_back();
    std::string list = noProxy;
    std::replace(list.begin(), list.end(), ',', ' ');
    std::istringstream entries(list);
    for (std::string entry; entries >> entry;) {
        if (entry == "*") return true;
        entry = lower(entry);
        if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']') entry = entry.substr(1, entry.size() - 2);
        if (inIpv4Range(host, entry)) return true;
        if (entry.front() == '.') entry.erase(0, 1);
        if (!entry.empty() && entry.back() == '.') entry.pop_back();
        if (entry.empty()) continue;
        if (host == entry) return true;
        if (host.size() > entry.size() && host.ends_with(entry) && host[host.size() - entry.size() - 1] == '.')
            return true;
    }
    return false;
}

std::optional<std::string> curlProxyOf(const std::string& entry) {
    if (startsWithNoCase(entry, "direct://")) return "";
    // libproxy's "socks" leaves the version open; the fifth is what is served today.
    if (startsWithNoCase(entry, "socks://")) return "socks5://" + entry.substr(8);
    for (const char* scheme : {"http://", "https://", "socks4://", "socks4a://", "socks5://", "socks5h://"}) {
        if (startsWithNoCase(entry, scheme)) return entry;
    }
    return std::nullopt;
}

DesktopSettings kdeSettings(const std::string& kioslaverc) {
    DesktopSettings settings;
    std::istringstream in(kioslaverc);
    bool inGroup = false;
    std::string type;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with('[')) {
            inGroup = line == "[Proxy Settings]";
            continue;
        }
        const auto eq = line.find('=');
        if (!inGroup || eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        // "Key[$e]=" marks a value to expand; the key is the same.
        if (const auto flags = key.find("[$"); flags != std::string::npos) key.resize(flags);
        while (!key.empty() && key.back() == ' ') key.pop_back();
        std::string value = line.substr(eq + 1);
        value.erase(0, value.find_first_not_of(' '));
        if (key == "ProxyType") type = value;
        if (key == "Proxy Config Script") settings.pacUrl = value;
    }
    // kioslave's numbers: 0 none, 1 manual, 2 a script, 3 WPAD, 4 the environment.
    switch (type.empty() ? '0' : type[0]) {
        case '1':
            settings.mode = DesktopMode::Manual;
            break;
        case '2':
            settings.mode = settings.pacUrl.find("://") != std::string::npos ? DesktopMode::Pac : DesktopMode::Wpad;
            break;
        case '3':
            settings.mode = DesktopMode::Wpad;
            break;
        case '4':
            settings.mode = DesktopMode::Environment;
            break;
        default:
            settings.mode = DesktopMode::None;
    }
    if (settings.mode != DesktopMode::Pac) settings.pacUrl.clear();
    return settings;
}

DesktopSettings gnomeSettings(const std::string& mode, const std::string& autoconfigUrl) {
    DesktopSettings settings;
    if (mode == "manual") {
        settings.mode = DesktopMode::Manual;
    } else if (mode == "auto") {
        settings.mode = autoconfigUrl.find("://") != std::string::npos ? DesktopMode::Pac : DesktopMode::Wpad;
        if (settings.mode == DesktopMode::Pac) settings.pacUrl = autoconfigUrl;
    } else if (mode == "none") {
        settings.mode = DesktopMode::None;
    }
    return settings;
}

}  // namespace bi::net
