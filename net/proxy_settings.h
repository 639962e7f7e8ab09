// What decides the proxy of a request, as pure functions of what was read: the proxy
// variables of the environment, no_proxy, libproxy's answers and KDE's kioslaverc. The
// reading itself (environment, libproxy, GSettings) is in proxy_route.cpp.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bi::net {

using Getenv = std::function<const char*(const char*)>;

// The proxy variable that decides for url, as libcurl reads them ("https_proxy", ...); nullopt
// when none of http_proxy, https_proxy, HTTPS_PROXY, all_proxy and ALL_PROXY is set and not
// empty: then the environment does not decide. "" when it decides for a direct connection.
std::optional<std::string> environmentProxyVariable(const std::string& url, const Getenv& getenv);

// Whether no_proxy's list (names, with or without a leading dot, addresses, IPv4 ranges as
// a.b.c.d/n, or "*") sends a request for url past any proxy, as libcurl matches it.
bool bypassesProxy(const std::string& url, const std::string& noProxy);

// One entry of libproxy's answer as libcurl takes it: "" for "direct://", socks:// as
// socks5://; nullopt for a kind libcurl cannot use.
std::optional<std::string> curlProxyOf(const std::string& libproxyEntry);

// How a desktop's settings ask for the proxy.
enum class DesktopMode { Unknown, None, Manual, Pac, Wpad, Environment };

struct DesktopSettings {
    DesktopMode mode = DesktopMode::Unknown;
    std::string pacUrl;  // Pac: the script's URL
};

// KDE's "[Proxy Settings]" of kioslaverc's text: ProxyType and "Proxy Config Script".
DesktopSettings kdeSettings(const std::string& kioslaverc);

// GNOME's org.gnome.system.proxy "mode" ("none", "manual", "auto") and "autoconfig-url";
// "auto" without a URL is WPAD.
DesktopSettings gnomeSettings(const std::string& mode, const std::string& autoconfigUrl);

}  // namespace bi::net
