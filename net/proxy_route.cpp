#include "net/proxy_route.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "net/desktop_proxy.h"
#include "net/proxy_settings.h"
#include "net/url.h"
#include "platform/system_log.h"

namespace bi::net {
namespace {

using Clock = std::chrono::steady_clock;

const char* systemGetenv(const char* name) { return std::getenv(name); }

std::string modeText(const DesktopSettings& settings) {
    switch (settings.mode) {
        case DesktopMode::None:
            return "none";
        case DesktopMode::Manual:
            return "manual";
        case DesktopMode::Pac:
            return "PAC " + settings.pacUrl;
        case DesktopMode::Wpad:
            return "WPAD";
        case DesktopMode::Environment:
            return "the environment";
        case DesktopMode::Unknown:
            break;
    }
    return "not read";
}

// What libproxy answers for url, on the asking thread.
ProxyRoute desktopRoute(const std::string& url) {
    ProxyRoute route;
    const std::string desktop = sessionDesktop(systemGetenv);
    route.desktop = !desktop.empty();
    const DesktopSettings settings = desktopSettings(desktop, systemGetenv);
    route.source = desktop.empty() ? "libproxy" : desktop + "'s settings (" + modeText(settings) + ")";
    route.proxies.clear();
    for (const auto& entry : askLibproxy(url)) {
        const auto proxy = curlProxyOf(entry);
        if (proxy && std::find(route.proxies.begin(), route.proxies.end(), *proxy) == route.proxies.end())
            route.proxies.push_back(*proxy);
    }
    if (route.proxies.empty()) route.proxies = {""};
    route.noPacRunner = (settings.mode == DesktopMode::Pac || settings.mode == DesktopMode::Wpad) && !libproxyRunsPac();
    if (route.noPacRunner) {
        static std::once_flag once;
        std::call_once(once, [&] {
            platform::systemLog(route.source +
                                " ask for a PAC script, but libproxy has no PAC runner to run it (the package "
                                "libproxy1-plugin-webkit): connecting directly");
        });
    }
    return route;
}

// no_proxy applies to the desktop's proxies as to the environment's.
ProxyRoute bypassed(ProxyRoute route, const std::string& url) {
    const char* noProxy = std::getenv("no_proxy");
    if (noProxy == nullptr || *noProxy == '\0') noProxy = std::getenv("NO_PROXY");
    if (noProxy != nullptr && route.proxies != std::vector<std::string>{""} && bypassesProxy(url, noProxy)) {
        route.proxies = {""};
        route.source += ", bypassed by no_proxy";
    }
    return route;
}

std::mutex lastMutex;
std::map<std::string, std::string>& lastProxies() {
    static std::map<std::string, std::string> last;
    return last;
}

}  // namespace

ProxyRoute proxyRouteFor(const std::string& url, std::chrono::milliseconds limit, const std::atomic<bool>& cancelled) {
    if (const auto variable = environmentProxyVariable(url, systemGetenv)) {
        ProxyRoute route;
        route.source = variable->empty() ? "the environment" : "the environment (" + *variable + ")";
        if (!variable->empty()) route.proxies = {std::getenv(variable->c_str())};
        return bypassed(route, url);
    }
    // libproxy and its modules (a JavaScript engine among them) take some 8 MiB: only where it
    // may find settings to read.
    if (!proxySettingsMayExist(systemGetenv)) return {};
    if (!libproxyLoaded()) {
        static std::once_flag once;
        std::call_once(once, [] {
            platform::systemLog(
                "libproxy (libproxy.so.1) cannot be loaded: only the proxy environment variables are read");
        });
        return {};
    }
    // libproxy cannot be interrupted: a question past its time is left to finish alone.
    struct Query {
        std::mutex mutex;
        std::condition_variable answered;
        std::optional<ProxyRoute> route;
    };
    auto query = std::make_shared<Query>();
    std::thread([query, url] {
        ProxyRoute route = desktopRoute(url);
        std::lock_guard lock(query->mutex);
        query->route = std::move(route);
        query->answered.notify_all();
    }).detach();
    const auto deadline = Clock::now() + limit;
    std::unique_lock lock(query->mutex);
    // A cancel only sets its flag: it is looked at a few times a second.
    while (!query->route && !cancelled && Clock::now() < deadline) {
        query->answered.wait_for(lock,
                                 std::min<Clock::duration>(std::chrono::milliseconds(50), deadline - Clock::now()));
    }
    if (!query->route) {
        if (!cancelled) {
            platform::systemLog("libproxy gave no proxy within " + std::to_string(limit.count() / 1000) +
                                " s (a PAC script or WPAD that does not answer): connecting directly to " + url);
        }
        return {};
    }
    return bypassed(*query->route, url);
}

std::string lastProxyFor(const std::string& url) {
    {
        std::lock_guard lock(lastMutex);
        if (const auto it = lastProxies().find(url); it != lastProxies().end()) return it->second;
    }
    const auto variable = environmentProxyVariable(url, systemGetenv);
    return variable && !variable->empty() ? withoutPassword(std::getenv(variable->c_str())) : "";
}

void noteProxyFor(const std::string& url, const std::string& shownProxy) {
    std::lock_guard lock(lastMutex);
    lastProxies()[url] = shownProxy;
}

}  // namespace bi::net
