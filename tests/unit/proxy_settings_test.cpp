#include "net/proxy_settings.h"

#include <gtest/gtest.h>

#include <map>

using namespace bi;

// Which variable decides, as libcurl reads them: any of the five set turns the desktop off,
// also for a scheme it does not name; HTTP_PROXY in capitals is never read.
TEST(ProxySettings, TheEnvironmentDecidesWhenAVariableIsSetAndNoProxyPassesItsHosts) {
    using Env = std::map<std::string, std::string>;
    // clang-format off
    const struct { Env env; std::string url; std::optional<std::string> variable; } env[] = {
        {{}, "http://h/a", std::nullopt}, {{{"HTTP_PROXY", "p"}, {"no_proxy", "*"}}, "http://h/a", std::nullopt},
        {{{"http_proxy", ""}}, "http://h/a", std::nullopt}, {{{"http_proxy", "p"}}, "http://h/a", "http_proxy"},
        {{{"http_proxy", "p"}}, "HTTPS://h/a", ""}, {{{"https_proxy", "p"}}, "http://h/a", ""},
        {{{"HTTPS_PROXY", "p"}, {"all_proxy", "q"}}, "https://h/a", "HTTPS_PROXY"},
        {{{"ALL_PROXY", "p"}, {"http_proxy", ""}}, "http://h/a", "ALL_PROXY"}, {{{"HTTPS_PROXY", "p"}}, "http://h/a", ""},
    };
    // clang-format on
    for (const auto& row : env) {
        const auto get = [&](const char* name) {
            const auto it = row.env.find(name);
            return it == row.env.end() ? nullptr : it->second.c_str();
        };
        EXPECT_EQ(net::environmentProxyVariable(row.url, get), row.variable) << row.url;
    }
    const struct {
        std::string url, noProxy;
        bool bypassed;
    } bypass[] = {
        {"http://example.com/a", "*", true},
        {"http://Sub.Example.com:8/a", "example.com", true},
        {"http://example.com./a", ".example.com", true},
        {"http://badexample.com/a", "example.com", false},
        {"http://h/a", " x , h ", true},
        {"http://10.1.2.3/a", "10.0.0.0/8", true},
        {"http://11.1.2.3/a", "10.0.0.0/8", false},
        {"http://127.0.0.1:80/a", "127.0.0.1", true},
        {"http://[::1]:8/a", "::1", true},
        {"http://h/a", "", false},
        {"http://user@h/a", "h/33", false},
        {"http://1.2.3.4/a", "1.2.3.4/40", false},
    };
    for (const auto& row : bypass) EXPECT_EQ(net::bypassesProxy(row.url, row.noProxy), row.bypassed) << row.url;
}

// What libcurl is given of libproxy's answer, and how the
// desktops' settings ask.
TEST(ProxySettings, ProxiesAreShownWithoutPasswordsAndSettingsAreRead) {
    EXPECT_EQ(net::curlProxyOf("direct://"), "");
    EXPECT_EQ(net::curlProxyOf("socks://h:1080"), "socks5://h:1080");
    EXPECT_EQ(net::curlProxyOf("HTTP://h:3128"), "HTTP://h:3128");
    EXPECT_EQ(net::curlProxyOf("ftp://h:21"), std::nullopt);
    using M = net::DesktopMode;
    const std::string g = "[Proxy Settings]\n";
    // clang-format off
    const struct { std::string kioslaverc; M mode; std::string pac = ""; } kde[] = {
        {"", M::None}, {g + "ProxyType=1\n", M::Manual}, {g + "ProxyType=2\nProxy Config Script=http://p/x.pac\r\n", M::Pac, "http://p/x.pac"},
        {g + "ProxyType=2\n", M::Wpad}, {g + "ProxyType[$e]=3\n", M::Wpad}, {g + "ProxyType = 4\n", M::Environment},
        {"[Other]\nProxyType=1\n" + g, M::None}, {g + "ProxyType=1\n[Other]\nProxyType=3\n", M::Manual},
    };
    // clang-format on
    for (const auto& row : kde) {
        const auto settings = net::kdeSettings(row.kioslaverc);
        EXPECT_EQ(settings.mode, row.mode) << row.kioslaverc;
        EXPECT_EQ(settings.pacUrl, row.pac) << row.kioslaverc;
    }
    EXPECT_EQ(net::gnomeSettings("auto", "").mode, M::Wpad);
    EXPECT_EQ(net::gnomeSettings("auto", "http://p/x.pac").pacUrl, "http://p/x.pac");
    EXPECT_EQ(net::gnomeSettings("manual", "http://p/x.pac").mode, M::Manual);
    EXPECT_EQ(net::gnomeSettings("none", "").mode, M::None);
}
