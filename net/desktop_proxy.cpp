#include "net/desktop_proxy.h"

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

namespace bi::net {
namespace {

template <typename Fn>
bool bind(void* handle, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(::dlsym(handle, name));
    return fn != nullptr;
}

// libproxy's C interface, the same from 0.4 to 0.5.
struct Libproxy {
    void* (*factoryNew)() = nullptr;
    char** (*getProxies)(void* factory, const char* url) = nullptr;
    void (*freeProxies)(char** proxies) = nullptr;  // 0.4.16 and later; before it, free() each
    void* factory = nullptr;                        // made on first use, kept for the process
    std::string libraryDir;
};

Libproxy* loadLibproxy() {
    static Libproxy px;
    void* handle = ::dlopen("libproxy.so.1", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    if (!bind(handle, "px_proxy_factory_new", px.factoryNew) ||
        !bind(handle, "px_proxy_factory_get_proxies", px.getProxies)) {
        ::dlclose(handle);
        return nullptr;
    }
    bind(handle, "px_proxy_factory_free_proxies", px.freeProxies);
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(px.factoryNew), &info) != 0 && info.dli_fname != nullptr) {
        const std::string file = info.dli_fname;
        px.libraryDir = file.substr(0, file.rfind('/'));
    }
    return &px;
}

// Never unloaded: a question that outlived its time limit may still be running in it.
Libproxy* libproxy() {
    static Libproxy* const px = loadLibproxy();
    return px;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        }
        ::closedir(d);
    }
    return names;
}

// GSettings, for GNOME's "mode" and "autoconfig-url"; nullopt when GIO or the schema is missing.
std::optional<DesktopSettings> readGnomeSettings() {
    static void* const gio = ::dlopen("libgio-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
    if (gio == nullptr) return std::nullopt;
    void* (*defaultSource)() = nullptr;
    void* (*lookup)(void*, const char*, int) = nullptr;
    void* (*newFull)(void*, void*, const char*) = nullptr;
    char* (*getString)(void*, const char*) = nullptr;
    void (*schemaUnref)(void*) = nullptr;
    void (*objectUnref)(void*) = nullptr;
    void (*gFree)(void*) = nullptr;
    if (!bind(gio, "g_settings_schema_source_get_default", defaultSource) ||
        !bind(gio, "g_settings_schema_source_lookup", lookup) || !bind(gio, "g_settings_new_full", newFull) ||
        !bind(gio, "g_settings_get_string", getString) || !bind(gio, "g_settings_schema_unref", schemaUnref) ||
        !bind(gio, "g_object_unref", objectUnref) || !bind(gio, "g_free", gFree)) {
        return std::nullopt;
    }
    void* source = defaultSource();
    // g_settings_new would abort the process on a missing schema.
    void* schema = source != nullptr ? lookup(source, "org.gnome.system.proxy", 1) : nullptr;
    if (schema == nullptr) return std::nullopt;
    void* settings = newFull(schema, nullptr, nullptr);
    schemaUnref(schema);
    if (settings == nullptr) return std::nullopt;
    const auto take = [&](const char* key) {
        char* value = getString(settings, key);
        std::string text = value != nullptr ? value : "";
        gFree(value);
        return text;
    };
    const std::string mode = take("mode"), url = take("autoconfig-url");
    objectUnref(settings);
    return gnomeSettings(mode, url);
}

std::string readFirst(const std::vector<std::string>& paths) {
    for (const auto& path : paths) {
        std::ifstream in(path);
        if (!in) continue;
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    return "";
}

DesktopSettings readKdeSettings(const Getenv& getenv) {
    const auto value = [&](const char* name, const std::string& fallback) {
        const char* v = getenv(name);
        return v != nullptr && *v != '\0' ? std::string(v) : fallback;
    };
    std::vector<std::string> paths = {value("XDG_CONFIG_HOME", value("HOME", "") + "/.config") + "/kioslaverc"};
    std::istringstream dirs(value("XDG_CONFIG_DIRS", "/etc/xdg"));
    for (std::string dir; std::getline(dirs, dir, ':');) paths.push_back(dir + "/kioslaverc");
    return kdeSettings(readFirst(paths));
}

}  // namespace

bool libproxyLoaded() { return libproxy() != nullptr; }

std::vector<std::string> askLibproxy(const std::string& url) {
    static std::mutex mutex;
    Libproxy& px = *libproxy();
    std::lock_guard lock(mutex);
    if (px.factory == nullptr) px.factory = px.factoryNew();
    std::vector<std::string> answer;
    char** proxies = px.factory != nullptr ? px.getProxies(px.factory, url.c_str()) : nullptr;
    if (proxies == nullptr) return answer;
    for (char** p = proxies; *p != nullptr; ++p) {
        answer.emplace_back(*p);
        if (px.freeProxies == nullptr) std::free(*p);
    }
    if (px.freeProxies != nullptr) {
        px.freeProxies(proxies);
    } else {
        std::free(static_cast<void*>(proxies));
    }
    return answer;
}

bool libproxyRunsPac() {
    const Libproxy* px = libproxy();
    if (px == nullptr) return false;
    std::vector<std::string> dirs;
    if (const char* path = std::getenv("PX_MODULE_PATH"); path != nullptr && *path != '\0') {
        dirs.emplace_back(path);
    } else {
        for (const auto& version : entries(px->libraryDir + "/libproxy")) {
            dirs.push_back(px->libraryDir + "/libproxy/" + version + "/modules");
        }
    }
    bool anyModules = false;
    for (const auto& dir : dirs) {
        for (const auto& name : entries(dir)) {
            anyModules = true;
            if (name.starts_with("pacrunner_")) return true;
        }
    }
    return !anyModules;
}

std::string sessionDesktop(const Getenv& getenv) {
    const auto is = [&](const char* name, const char* value) {
        const char* v = getenv(name);
        return v != nullptr && std::string(v) == value;
    };
    // libproxy's own tests of the session, in the order it asks its modules.
    const char* gnomeId = getenv("GNOME_DESKTOP_SESSION_ID");
    if (gnomeId != nullptr || is("DESKTOP_SESSION", "gnome") || is("DESKTOP_SESSION", "gnome-wayland") ||
        is("DESKTOP_SESSION", "mate")) {
        return "GNOME";
    }
    if (getenv("KDE_FULL_SESSION") != nullptr) return "KDE";
    return "";
}

bool proxySettingsMayExist(const Getenv& getenv) {
    const char* current = getenv("XDG_CURRENT_DESKTOP");
    return !sessionDesktop(getenv).empty() || (current != nullptr && *current != '\0') ||
           ::access("/etc/sysconfig/proxy", R_OK) == 0;
}

DesktopSettings desktopSettings(const std::string& desktop, const Getenv& getenv) {
    if (desktop == "GNOME") return readGnomeSettings().value_or(DesktopSettings{});
    if (desktop == "KDE") return readKdeSettings(getenv);
    return {};
}

}  // namespace bi::net
