// The window's accessible objects as a screen reader meets them: AT-SPI's own client library,
// on the accessibility bus of a D-Bus session of the test process's own. Header-only: only the
// tests that read a window link AT-SPI.
#pragma once

#include <atspi/atspi.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support.h"

namespace bi::testsupport {

// A D-Bus session of the test process's own, whose accessibility bus (started by AT-SPI's
// launcher on the first request) the installer's window and this process meet on; it ends
// with the process, and the launcher and its bus with it.
class AccessibilityBus {
public:
    static AccessibilityBus& get() {
        static AccessibilityBus bus;
        return bus;
    }
    static bool installed() {
        return ::access("/usr/bin/dbus-daemon", X_OK) == 0 && ::access("/usr/bin/dbus-send", X_OK) == 0 &&
               ::access(kLauncher, X_OK) == 0;
    }
    bool ready() const { return daemon_.ready(); }
    // Where its sockets lie, for a process in another mount namespace to see.
    const std::string& directory() const { return dir_.path(); }

private:
    static constexpr const char* kLauncher = "/usr/libexec/at-spi-bus-launcher";
    AccessibilityBus()
        : daemon_({"/usr/bin/dbus-daemon", "--session", "--nofork", "--address=" + address()},
                  [this] { return answers(); },
                  {{"XDG_RUNTIME_DIR", dir_.path()}, {"HOME", dir_.path()}, {"GSETTINGS_BACKEND", "memory"}}) {
        // This process and the installers it starts meet there.
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address().c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
        ::setenv("GSETTINGS_BACKEND", "memory", 1);
        if (ready()) atspi_init();
    }
    std::string address() const { return "unix:path=" + dir_ / "bus"; }
    // The session answers, and the accessibility bus's launcher, started for the question, has
    // its bus running: a socket alone may not take connections yet.
    bool answers() const {
        ProcessOptions options;
        options.env["DBUS_SESSION_BUS_ADDRESS"] = address();
        return runProcess({"/usr/bin/dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                           "org.a11y.Bus.GetAddress"},
                          options)
                   .exitStatus == 0;
    }
    ScratchDir dir_;
    Daemon daemon_;
};

// An accessible object of another process, released with the last copy.
class Node {
public:
    explicit Node(AtspiAccessible* object)
        : object_(object, [](AtspiAccessible* o) { o ? g_object_unref(o) : void(); }) {}
    AtspiAccessible* get() const { return object_.get(); }
    std::string name() const { return take(atspi_accessible_get_name(object_.get(), nullptr)); }
    AtspiRole role() const { return atspi_accessible_get_role(object_.get(), nullptr); }
    bool has(AtspiStateType state) const {
        AtspiStateSet* set = atspi_accessible_get_state_set(object_.get());
        const bool has = atspi_state_set_contains(set, state);
        return g_object_unref(set), has;
    }
    // Every object under this one, in the order of the tree.
    std::vector<Node> all() const {
        std::vector<Node> found;
        const int n = atspi_accessible_get_child_count(object_.get(), nullptr);
        for (int i = 0; i < n; ++i) {
            Node child(atspi_accessible_get_child_at_index(object_.get(), i, nullptr));
            if (child.get() == nullptr) continue;
            std::vector<Node> below = child.all();
            found.push_back(child);
            found.insert(found.end(), below.begin(), below.end());
        }
        return found;
    }
    std::vector<Node> withRole(AtspiRole role) const {
        std::vector<Node> found;
        for (const Node& node : all())
            if (node.role() == role) found.push_back(node);
        return found;
    }
    // The value of a progress bar: current and maximum; -1 without one.
    std::pair<double, double> value() const {
        AtspiValue* value = atspi_accessible_get_value_iface(object_.get());
        if (value == nullptr) return {-1, -1};
        const std::pair<double, double> v{atspi_value_get_current_value(value, nullptr),
                                          atspi_value_get_maximum_value(value, nullptr)};
        return g_object_unref(value), v;
    }
    std::string description() const { return take(atspi_accessible_get_description(object_.get(), nullptr)); }
    // Where it is on the screen.
    struct Area {
        int x = 0, y = 0, width = 0, height = 0;
    };
    Area extents() const {
        AtspiComponent* component = atspi_accessible_get_component_iface(object_.get());
        AtspiRect* r = component ? atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, nullptr) : nullptr;
        const Area area = r ? Area{r->x, r->y, r->width, r->height} : Area{};
        if (r != nullptr) g_free(r);
        if (component != nullptr) g_object_unref(component);
        return area;
    }

private:
    static std::string take(char* text) {
        std::string s = text != nullptr ? text : "";
        return g_free(text), s;
    }
    std::shared_ptr<AtspiAccessible> object_;
};

// What a screen reader hears, as the events come: each event of the types asked for, with its
// text and the role of the object it came from.
class Hearing {
public:
    struct Heard {
        std::string type, text;
        AtspiRole role;
    };
    explicit Hearing(std::vector<std::string> types) : types_(std::move(types)) {
        for (const std::string& type : types_) atspi_event_listener_register(listener_, type.c_str(), nullptr);
    }
    ~Hearing() {
        for (const std::string& type : types_) atspi_event_listener_deregister(listener_, type.c_str(), nullptr);
        g_object_unref(listener_);
    }
    Hearing(const Hearing&) = delete;
    Hearing& operator=(const Hearing&) = delete;
    std::vector<Heard> heard;

private:
    static void onEvent(AtspiEvent* event, void* self) {
        const Node source(event->source ? static_cast<AtspiAccessible*>(g_object_ref(event->source)) : nullptr);
        static_cast<Hearing*>(self)->heard.push_back(
            {event->type, G_VALUE_HOLDS_STRING(&event->any_data) ? g_value_get_string(&event->any_data) : "",
             source.role()});
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }
    std::vector<std::string> types_;
    AtspiEventListener* listener_ = atspi_event_listener_new(onEvent, this, nullptr);
};

// Lets the events (and a toolkit's) come in until done() holds; false after `limit`.
inline bool pump(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const guint beat = g_timeout_add(
        20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    const auto end = std::chrono::steady_clock::now() + limit;
    bool held = false;
    while (!(held = done()) && std::chrono::steady_clock::now() < end) g_main_context_iteration(nullptr, TRUE);
    return g_source_remove(beat), held;
}

// The window titled `title` among the applications on the bus.
inline std::optional<Node> windowTitled(const std::string& title) {
    const Node desktop(atspi_get_desktop(0));
    for (const Node& node : desktop.all())
        if (node.role() == ATSPI_ROLE_FRAME && node.name() == title) return node;
    return std::nullopt;
}

// Presses `key` (xdotool's names: "Tab", "alt+d") in the shown window titled exactly `title`;
// GTK's leader window has the title too, but is never shown.
inline int pressKey(const std::string& display, const std::string& title, const std::string& key) {
    return runProcess({"/usr/bin/xdotool", "search", "--sync", "--onlyvisible", "--name", "^" + title + "$",
                       "windowfocus", "--sync", "key", key},
                      {.env = {{"DISPLAY", display}}})
        .exitStatus;
}

}  // namespace bi::testsupport
