// The window as a screen reader and a person with a theme of their own meet it: its tree and its
// announcements read through AT-SPI itself, on the accessibility bus of a D-Bus session of the
// test's own, and its failure's colours measured on screenshots of the test's Xvfb.
#include <atspi/atspi.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <future>
#include <regex>

#include "fixture.h"
#include "ui/contrast.h"
#include "xserver.h"

namespace bi {

using namespace std::chrono_literals;

namespace {

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
        testsupport::ProcessOptions options;
        options.env["DBUS_SESSION_BUS_ADDRESS"] = address();
        return testsupport::runProcess({"/usr/bin/dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus",
                                        "/org/a11y/bus", "org.a11y.Bus.GetAddress"},
                                       options)
                   .exitStatus == 0;
    }
    testsupport::ScratchDir dir_;
    testsupport::Daemon daemon_;
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
    // Where it is on the screen.
    GdkRectangle extents() const {
        AtspiComponent* component = atspi_accessible_get_component_iface(object_.get());
        AtspiRect* r = component ? atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, nullptr) : nullptr;
        const GdkRectangle area = r ? GdkRectangle{r->x, r->y, r->width, r->height} : GdkRectangle{};
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

// What a screen reader hears announced, as the events come; each from the status bar.
struct Hearing {
    std::vector<std::string> announced;
    AtspiEventListener* listener = atspi_event_listener_new(onEvent, this, nullptr);
    Hearing() { atspi_event_listener_register(listener, "object:announcement", nullptr); }
    ~Hearing() {
        atspi_event_listener_deregister(listener, "object:announcement", nullptr);
        g_object_unref(listener);
    }
    static void onEvent(AtspiEvent* event, void* data) {
        const Node source(event->source != nullptr ? static_cast<AtspiAccessible*>(g_object_ref(event->source))
                                                   : nullptr);
        EXPECT_EQ(source.role(), ATSPI_ROLE_STATUS_BAR) << "announced by another object";
        static_cast<Hearing*>(data)->announced.emplace_back(
            G_VALUE_HOLDS_STRING(&event->any_data) ? g_value_get_string(&event->any_data) : "");
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }
};

// Lets the events and GDK come in until done() holds; false after `limit`.
bool pump(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    const guint beat = g_timeout_add(
        20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    const auto end = std::chrono::steady_clock::now() + limit;
    bool held = false;
    while (!(held = done()) && std::chrono::steady_clock::now() < end) g_main_context_iteration(nullptr, TRUE);
    return g_source_remove(beat), held;
}

// The window titled `title` among the applications on the bus.
std::optional<Node> windowTitled(const std::string& title) {
    const Node desktop(atspi_get_desktop(0));
    for (const Node& node : desktop.all())
        if (node.role() == ATSPI_ROLE_FRAME && node.name() == title) return node;
    return std::nullopt;
}

ui::Rgb rgb(guint32 pixel) {
    return {(pixel >> 16 & 0xff) / 255.0, (pixel >> 8 & 0xff) / 255.0, (pixel & 0xff) / 255.0};
}

// The colours of an area of the screen, each with how many pixels have it.
std::map<guint32, int> coloursIn(const GdkRectangle& area) {
    std::map<guint32, int> colours;
    GdkPixbuf* shot =
        gdk_pixbuf_get_from_window(gdk_get_default_root_window(), area.x, area.y, area.width, area.height);
    if (shot == nullptr) return colours;
    for (int y = 0; y < gdk_pixbuf_get_height(shot); ++y) {
        for (int x = 0; x < gdk_pixbuf_get_width(shot); ++x) {
            const guchar* p =
                gdk_pixbuf_get_pixels(shot) + y * gdk_pixbuf_get_rowstride(shot) + x * gdk_pixbuf_get_n_channels(shot);
            ++colours[guint32(p[0]) << 16 | guint32(p[1]) << 8 | p[2]];
        }
    }
    return g_object_unref(shot), colours;
}

guint32 commonest(const std::map<guint32, int>& colours) {
    return std::max_element(colours.begin(), colours.end(), [](auto& a, auto& b) { return a.second < b.second; })
        ->first;
}

// A colour that a person takes for red: its red channel well above the others.
bool reddish(guint32 pixel) {
    const int r = pixel >> 16 & 0xff, g = pixel >> 8 & 0xff, b = pixel & 0xff;
    return r > g + 0x30 && r > b + 0x30;
}

struct ThemeRow {
    std::string name;
    const char* theme;  // GTK_THEME
    bool art;           // the bundle has an icon of its own, and a splash of twice the pixels in green
};

class Accessible : public InstallerTest, public ::testing::WithParamInterface<ThemeRow> {};

// The bundle's server fails (404) and its mirror loses the connection halfway, then fails too: a
// move to another server, a retry and the failure, each announced by the status. Meanwhile the
// bar says what arrived; after the failure every part of the window has its name and role, the
// bar is full and styled as the failure, the failure's text and bar can be read against the
// window in the theme, and the keyboard alone reaches every button and closes the window.
TEST_P(Accessible, ScreenReadersHearEveryPartAndChangeAndEveryThemeReadsTheFailure) {
    if (!testsupport::XServer::installed() || !AccessibilityBus::installed())
        GTEST_SKIP() << "Xvfb, dbus-daemon or at-spi2-core is not installed";
    const std::string display = testsupport::XServer::get().display();
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    ::setenv("DISPLAY", display.c_str(), 1), ::setenv("NO_AT_BRIDGE", "1", 1);  // this process reads, it is not read
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    ASSERT_TRUE(AccessibilityBus::get().ready()) << "dbus-daemon did not start";
    Hearing hearing;

    const std::string archive = randomBytes(256 << 10);
    std::promise<void> seen, looked;
    std::shared_future<void> shown = seen.get_future().share(), release = looked.get_future().share();
    testsupport::ScriptedServer server([&](const testsupport::ScriptedRequest& q, int) {
        if (q.path != "/mirror.zip") {
            shown.wait_for(20s);  // the window is on the bus before its status changes
            return testsupport::reply(404);
        }
        if (q.header("range").empty()) {
            auto r = testsupport::serveArchive(q, archive, "\"a11y\"");
            r.dropAfter = archive.size() / 2;
            return r;
        }
        release.wait_for(20s);  // the window holds what arrived while the test looks
        return testsupport::reply(404);
    });
    auto b = downloadBundle(server.url("/agent.zip"));
    testsupport::writeFile(b.resources + "/installAgentMirrors.txt", server.url("/mirror.zip") + "\n");
    testsupport::writeFile(b.resources + "/splash.png", testsupport::readFile(BI_SPLASH));
    for (const auto& [file, side, colour] :
         {std::tuple{"icon.png", 64, 0x2060a0ffu}, {"splash@2x.png", 800, 0x00ff00ffu}}) {
        GdkPixbuf* art = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, side, side);
        gdk_pixbuf_fill(art, colour);
        if (GetParam().art) gdk_pixbuf_save(art, (b.resources + "/" + file).c_str(), "png", nullptr, nullptr);
        g_object_unref(art);
    }
    auto running = std::async(std::launch::async, [&] {
        return run(b, {}, {{"DISPLAY", display}, {"NO_AT_BRIDGE", std::nullopt}, {"GTK_THEME", GetParam().theme}});
    });

    std::optional<Node> window;
    EXPECT_TRUE(pump([&] { return (window = windowTitled("Setup")).has_value(); }));
    seen.set_value();
    // Halfway, waiting for the mirror's answer to the retry: the bar says what arrived.
    EXPECT_TRUE(pump([&] { return server.requests().size() == 3; }));
    const auto bars = window ? window->withRole(ATSPI_ROLE_PROGRESS_BAR) : std::vector<Node>{};
    EXPECT_EQ(bars.size(), 1u);
    // What arrived before the connection was lost, no more: the report of its last bytes may not have come.
    const auto halfway = bars.empty() ? std::make_pair(-1.0, -1.0) : bars[0].value();
    EXPECT_TRUE(halfway.first > 0 && halfway.first <= 0.5 && halfway.second == 1) << halfway.first;
    looked.set_value();

    const std::string failure =
        "Download failed with error code 404. The installer file is not on the server. Contact the vendor of the "
        "product.";
    EXPECT_TRUE(pump([&] { return !hearing.announced.empty() && hearing.announced.back() == failure; }));
    EXPECT_EQ(hearing.announced,
              (std::vector<std::string>{"Trying another server (2 of 2)",
                                        "Connection lost. Retrying in 1 s (attempt 2 of 4)", failure}));

    ASSERT_TRUE(window);
    const auto named = [&](AtspiRole role) {
        std::vector<std::string> names;
        for (const Node& node : window->withRole(role)) names.push_back(node.name());
        return names;
    };
    EXPECT_EQ(named(ATSPI_ROLE_IMAGE), std::vector<std::string>{"Setup"});  // the product's name
    EXPECT_EQ(named(ATSPI_ROLE_STATUS_BAR), std::vector<std::string>{failure});
    EXPECT_EQ(named(ATSPI_ROLE_PROGRESS_BAR), std::vector<std::string>{"Download progress"});
    EXPECT_EQ(bars[0].value(), std::make_pair(1.0, 1.0));
    const auto buttons = window->withRole(ATSPI_ROLE_PUSH_BUTTON);
    ASSERT_FALSE(buttons.empty());
    for (const Node& button : buttons) {
        EXPECT_TRUE(button.has(ATSPI_STATE_FOCUSABLE) && button.has(ATSPI_STATE_SENSITIVE) &&
                    button.has(ATSPI_STATE_SHOWING))
            << button.name();
    }

    // The window's icon: the bundle's, else the desktop's for installers.
    testsupport::ProcessOptions x;
    x.env["DISPLAY"] = display;
    const auto icon = testsupport::runProcess(
        {"/usr/bin/xprop", "-name", "Setup", "-f", "_NET_WM_ICON", "32c", "=$0x$1", "_NET_WM_ICON"}, x);
    EXPECT_EQ(icon.out, GetParam().art ? "_NET_WM_ICON(CARDINAL)=64x64" : "_NET_WM_ICON(CARDINAL)=48x48") << icon.err;

    // The failure's text and the full bar, against the window's background, once drawn.
    const Node status = window->withRole(ATSPI_ROLE_STATUS_BAR).at(0);
    std::map<guint32, int> text, bar;
    EXPECT_TRUE(pump([&] {
        text = coloursIn(status.extents()), bar = coloursIn(bars[0].extents());
        return !bar.empty() && reddish(commonest(bar)) &&
               std::any_of(text.begin(), text.end(), [](auto& c) { return reddish(c.first); });
    }));
    const ui::Rgb background = rgb(commonest(text));
    double strongest = 0;
    for (const auto& [colour, count] : text)
        strongest = std::max(strongest, ui::contrastRatio(rgb(colour), background));
    EXPECT_GE(strongest, 4.5);
    EXPECT_GE(ui::contrastRatio(rgb(commonest(bar)), background), 4.5);
    // A screen of scale 1 shows the splash for it, not the one of twice the pixels.
    const auto splash = coloursIn(window->withRole(ATSPI_ROLE_IMAGE).at(0).extents());
    EXPECT_TRUE(splash.size() > 1 && !splash.contains(0x00ff00));

    // Tab reaches every button; Return presses the one that closes the window.
    const auto key = [&](const char* name) {
        // GTK's leader window has the title too, but is never shown.
        const std::vector<std::string> argv = {"/usr/bin/xdotool", "search",      "--sync", "--onlyvisible", "--name",
                                               "^Setup$",          "windowfocus", "--sync", "key",           name};
        return testsupport::runProcess(argv, x).exitStatus;
    };
    const auto focused = [&] {
        for (const Node& button : buttons)
            if (button.has(ATSPI_STATE_FOCUSED)) return button.name();
        return std::string();
    };
    std::set<std::string> reached{focused()};
    for (size_t i = 1; i < 2 * buttons.size() && (reached.size() < buttons.size() || focused() != "Close"); ++i) {
        const std::string before = focused();
        EXPECT_EQ(key("Tab"), 0);
        EXPECT_TRUE(pump([&] { return focused() != before; }));
        reached.insert(focused());
    }
    reached.erase("");
    EXPECT_EQ(reached.size(), buttons.size());
    EXPECT_EQ(focused(), "Close");
    EXPECT_EQ(key("Return"), 0);
    const auto r = running.get();
    EXPECT_EQ(r.exitStatus, 255) << r.err;
    EXPECT_NE(r.err.find(failure), std::string::npos) << r.err;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, Accessible, ::testing::Values(
    ThemeRow{"Adwaita", "Adwaita", true},
    ThemeRow{"Adwaita dark", "Adwaita:dark", false},
    ThemeRow{"HighContrast", "HighContrast", false}), RowName());
// clang-format on

}  // namespace

}  // namespace bi
