// The desktop's proxy settings and automatic configuration: libproxy (libproxy.so.1) and, to
// tell how GNOME's settings ask for the proxy, GIO's GSettings (libgio-2.0.so.0), both loaded
// at run time like libcurl and never linked: the installer runs where neither is installed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "net/proxy_settings.h"

namespace bi::net {

// Whether libproxy.so.1 can be loaded (once; safe from any thread).
bool libproxyLoaded();

// libproxy's answer for url, in its order ("http://host:port", "direct://", ...). Blocks for
// as long as libproxy takes (a PAC script to fetch and run, WPAD's lookups); libproxy must be
// loaded. Safe from any thread: libproxy runs one question at a time.
std::vector<std::string> askLibproxy(const std::string& url);

// Whether libproxy can run a PAC script: a PAC runner among its modules (PX_MODULE_PATH, or
// the directory of its version beside the library), or no module directory at all (a libproxy
// that builds its runner in).
bool libproxyRunsPac();

// Which desktop's settings libproxy reads in this session, as it tells: "GNOME" for a GNOME
// (or MATE) session, "KDE" for a KDE one; "" for neither.
std::string sessionDesktop(const Getenv& getenv);

// Whether libproxy may find settings to read: a desktop session (the above, or any that
// XDG_CURRENT_DESKTOP names), or the system's proxy file (/etc/sysconfig/proxy).
bool proxySettingsMayExist(const Getenv& getenv);

// How that desktop's settings ask for the proxy: GNOME's through GSettings, KDE's from
// kioslaverc in XDG_CONFIG_HOME (or ~/.config), then XDG_CONFIG_DIRS (or /etc/xdg).
DesktopSettings desktopSettings(const std::string& desktop, const Getenv& getenv);

}  // namespace bi::net
