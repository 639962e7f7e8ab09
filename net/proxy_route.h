// Where a request goes: through which proxies, in order, and from which settings. The
// environment's proxy variables decide when one is set; otherwise the desktop's settings and
// automatic configuration (PAC, WPAD) through libproxy. no_proxy applies to both.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace bi::net {

struct ProxyRoute {
    std::vector<std::string> proxies = {""};  // tried in order; "" a direct connection; never empty
    std::string source;        // for the log: "the environment (http_proxy)", "GNOME's settings (manual)"
    bool desktop = false;      // a desktop's settings (GNOME's, KDE's) decided
    bool noPacRunner = false;  // they ask for a PAC script that nothing here can run
};

// Asks libproxy on a thread of its own and waits up to `limit`, or until `cancelled`; either
// gives a direct connection (said in the log for the limit).
ProxyRoute proxyRouteFor(const std::string& url, std::chrono::milliseconds limit, const std::atomic<bool>& cancelled);

// The proxy (as the log may name it) that the last request for url was sent through; "" for
// none. Before any request, what the environment names.
std::string lastProxyFor(const std::string& url);
// Notes the proxy a request for url is now sent through.
void noteProxyFor(const std::string& url, const std::string& shownProxy);

}  // namespace bi::net
