// Chooses the window backend. The GTK backend is a plug-in opened with dlopen so that the
// installer itself never links GTK and still starts on machines without it.
#include "ui/window.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/bundle.h"
#include "platform/system_log.h"
#include "ui/console_window.h"
#include "ui/gtk/gtk_plugin.h"
#include "ui/i18n.h"

namespace bi::ui {
namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

}  // namespace

bool wantsGtk(const WindowSettings& settings) {
    return !settings.console && (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY"));
}

namespace {

std::string executableDirectory() {
    const auto exe = platform::executablePath();
    return exe ? exe->substr(0, exe->find_last_of('/') + 1) : std::string();
}

// The plug-in stays loaded for the life of the process: GTK cannot be unloaded. Why it could
// not be loaded goes to the log: a person with a display otherwise wonders where the window is.
GtkWindowFactory loadGtkFactory() {
    const std::string dir = executableDirectory();
    if (dir.empty()) return nullptr;
    std::string why;
    for (const std::string& candidate : {dir + kGtkPluginFile, dir + kGtkPluginSubdir + "/" + kGtkPluginFile}) {
        void* handle = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* error = ::dlerror();
            // A plug-in that is not there at all is the first place's usual case, not a reason.
            if (error != nullptr && (why.empty() || ::access(candidate.c_str(), F_OK) == 0)) why = error;
            continue;
        }
        if (void* symbol = ::dlsym(handle, kGtkPluginFactory)) return reinterpret_cast<GtkWindowFactory>(symbol);
        why = candidate + ": no " + kGtkPluginFactory;
        ::dlclose(handle);
    }
    platform::systemLog("The window cannot be shown, using the console: " + why);
    return nullptr;
}

}  // namespace

std::unique_ptr<Window> openWindow(WindowDelegate& delegate, const WindowSetup& setup) {
    if (wantsGtk(setup.settings)) {
        if (const GtkWindowFactory factory = loadGtkFactory()) {
            if (Window* window = factory(&delegate, &setup, &userLanguage())) return std::unique_ptr<Window>(window);
        }
    }
    return makeConsoleWindow(delegate, setup.settings);
}

std::string windowTitle() {
    const auto exe = platform::executablePath();
    if (!exe) return "Installer";
    const auto nameOf = [](const std::string& path) { return path.substr(path.find_last_of('/') + 1); };
    const platform::Bundle bundle = platform::bundleForExecutable(*exe);
    // A program outside a bundle has its own directory as its bundle.
    if (bundle.bundleDir == exe->substr(0, exe->find_last_of('/'))) return nameOf(*exe);
    std::string name = nameOf(bundle.bundleDir);
    if (name.size() > 4 && name.ends_with(".app")) name.resize(name.size() - 4);
    return name;
}

}  // namespace bi::ui
