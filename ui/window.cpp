// Chooses the window backend. The GTK backend is a plug-in opened with dlopen so that the
// installer itself never links GTK and still starts on machines without it.
//
// BI_WINDOW=console forces the console window, for scripts and tests that have a display.
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

bool wantsGtk() {
    const char* choice = std::getenv("BI_WINDOW");
    if (choice != nullptr && std::string(choice) == "console") return false;
    return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY");
}

namespace {

// The real executable's directory, whatever bundle a test may stand in.
std::string executableDirectory() {
    std::string path(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<size_t>(n) >= path.size()) return {};
    path.resize(static_cast<size_t>(n));
    return path.substr(0, path.find_last_of('/') + 1);
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

std::unique_ptr<Window> openWindow(WindowDelegate& delegate, const std::string& title) {
    if (wantsGtk()) {
        if (const GtkWindowFactory factory = loadGtkFactory()) {
            if (Window* window = factory(&delegate, title.c_str(), &userLanguage())) {
                return std::unique_ptr<Window>(window);
            }
        }
    }
    return makeConsoleWindow(delegate);
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
