// The window as a screen reader and a person with a theme of their own meet it: its tree and its
// announcements read through AT-SPI itself, on the accessibility bus of a D-Bus session of the
// test's own, and its failure's colours measured on screenshots of the test's Xvfb.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <future>
#include <regex>

#include "accessibility.h"
#include "fixture.h"
#include "ui/contrast.h"
#include "xserver.h"

namespace bi {

using namespace std::chrono_literals;

namespace {

using testsupport::AccessibilityBus, testsupport::Node, testsupport::pump;

ui::Rgb rgb(guint32 pixel) {
    return {(pixel >> 16 & 0xff) / 255.0, (pixel >> 8 & 0xff) / 255.0, (pixel & 0xff) / 255.0};
}

// The colours of an area of the screen, each with how many pixels have it.
std::map<guint32, int> coloursIn(const Node::Area& area) {
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

struct ThemeRow {
    std::string name;
    const char* theme;  // GTK_THEME
    bool art;           // the bundle has an icon of its own, and a splash of twice the pixels in green
    guint32 failure;    // the colour of the failure's text and bar
};

class Accessible : public InstallerTest, public ::testing::WithParamInterface<ThemeRow> {};

// The bundle's server fails (404) and its mirror loses the connection halfway, then sends a page:
// a move to another server, a retry and the failure, each announced by the status. Meanwhile the
// bar says what arrived; after the failure every part of the window has its name and role, the
// bar is full and styled as the failure, the failure's text and bar can be read against the
// window in the theme, and the keyboard alone reaches every control, opens the details and
// closes the window.
TEST_P(Accessible, ScreenReadersHearEveryPartAndChangeAndEveryThemeReadsTheFailure) {
    if (!testsupport::XServer::installed() || !AccessibilityBus::installed())
        GTEST_SKIP() << "Xvfb, dbus-daemon or at-spi2-core is not installed";
    const std::string display = testsupport::XServer::get().display();
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    ::setenv("DISPLAY", display.c_str(), 1), ::setenv("NO_AT_BRIDGE", "1", 1);  // this process reads, it is not read
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    ASSERT_TRUE(AccessibilityBus::get().ready()) << "dbus-daemon did not start";
    testsupport::Hearing hearing({"object:announcement"});
    const auto announced = [&] {
        std::vector<std::string> texts;
        for (const auto& heard : hearing.heard) texts.push_back(heard.role == ATSPI_ROLE_STATUS_BAR ? heard.text : "?");
        return texts;
    };

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
        return testsupport::reply(200, {{"Content-Type", "text/html"}}, "<html>Sign in</html>");
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
    // A theme of the user's own: Adwaita with another error colour, the window painted dark by an
    // image rather than by a colour.
    testsupport::makeDirs(home_ + "/.themes/Violet/gtk-3.0");
    testsupport::writeFile(home_ + "/.themes/Violet/gtk-3.0/gtk.css",
                           "@import url(\"resource:///org/gtk/libgtk/theme/Adwaita/gtk-contained.css\");\n"
                           "@define-color error_color #8040c0;\n@define-color theme_bg_color #202020;\n"
                           "window.background { background-color: transparent; "
                           "background-image: linear-gradient(#202020, #202020); }\n");
    // A retry that waits 2 s counts down once.
    auto running = std::async(std::launch::async, [&] {
        return run(b, {},
                   {{"DISPLAY", display},
                    {"NO_AT_BRIDGE", std::nullopt},
                    {"GTK_THEME", GetParam().theme},
                    {"BI_RETRY_WAIT", "2"}});
    });

    std::optional<Node> window;
    EXPECT_TRUE(pump([&] { return (window = testsupport::windowTitled("Setup")).has_value(); }));
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
        "The server did not send the installer archive (got text/html). A network's sign-in page or a proxy may have "
        "answered instead. Sign in to the network in a web browser, then try again.";
    EXPECT_TRUE(pump([&] { return !announced().empty() && announced().back() == failure; }));
    EXPECT_EQ(announced(), (std::vector<std::string>{"Trying another server (2 of 2)",
                                                     "Connection lost. Retrying in 2 s (attempt 2 of 4)", failure}));

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
    // The controls shown: Try again and Close, and the details' expander.
    const auto controls = [&] {
        std::vector<Node> found;
        for (const Node& node : window->all()) {
            const bool control = node.role() == ATSPI_ROLE_PUSH_BUTTON || node.role() == ATSPI_ROLE_TOGGLE_BUTTON;
            if (control && node.has(ATSPI_STATE_SHOWING)) found.push_back(node);
        }
        return found;
    };
    const auto names = [&](const std::vector<Node>& nodes) {
        std::set<std::string> set;
        for (const Node& node : nodes)
            set.insert(node.has(ATSPI_STATE_FOCUSABLE) && node.has(ATSPI_STATE_SENSITIVE) ? node.name() : "?");
        return set;
    };
    EXPECT_EQ(names(controls()), (std::set<std::string>{"Close", "Details", "Try again"}));

    // The window's icon: the bundle's, else the desktop's for installers.
    testsupport::ProcessOptions x;
    x.env["DISPLAY"] = display;
    const auto icon = testsupport::runProcess(
        {"/usr/bin/xprop", "-name", "Setup", "-f", "_NET_WM_ICON", "32c", "=$0x$1", "_NET_WM_ICON"}, x);
    EXPECT_EQ(icon.out, GetParam().art ? "_NET_WM_ICON(CARDINAL)=64x64" : "_NET_WM_ICON(CARDINAL)=48x48") << icon.err;

    // The failure's text and the full bar in the theme's error colour, readable against the
    // window's background, once drawn.
    const Node status = window->withRole(ATSPI_ROLE_STATUS_BAR).at(0);
    ui::Rgb background;
    guint32 text = 0, bar = 0;
    EXPECT_TRUE(pump([&] {
        const auto colours = coloursIn(status.extents());
        background = rgb(commonest(colours));
        double strongest = 0;
        for (const auto& [colour, count] : colours) {
            if (ui::contrastRatio(rgb(colour), background) > strongest)
                strongest = ui::contrastRatio(rgb(colour), background), text = colour;
        }
        bar = commonest(coloursIn(bars[0].extents()));
        return text == GetParam().failure && bar == text;
    })) << std::hex
        << text << " " << bar;
    EXPECT_GE(ui::contrastRatio(rgb(text), background), 4.5);
    // A screen of scale 1 shows the splash for it, not the one of twice the pixels.
    const auto splash = coloursIn(window->withRole(ATSPI_ROLE_IMAGE).at(0).extents());
    EXPECT_TRUE(splash.size() > 1 && !splash.contains(0x00ff00));

    // Try again has the focus; Tab reaches every control and comes to Close; Alt+D opens the
    // details, whose lines are named and whose Copy Tab reaches too; Return presses Close.
    const auto key = [&](const char* name) { return testsupport::pressKey(display, "Setup", name); };
    const auto focused = [&] {
        for (const Node& node : window->all())
            if (node.has(ATSPI_STATE_FOCUSED)) return node.role() == ATSPI_ROLE_TEXT ? "lines" : node.name();
        return std::string();  // between the last control and the first
    };
    EXPECT_EQ(focused(), "Try again");
    const auto tabThrough = [&](const std::set<std::string>& all) {
        std::set<std::string> reached{focused()};
        for (size_t i = 1;
             i < 2 * all.size() + 2 &&
             (!std::includes(reached.begin(), reached.end(), all.begin(), all.end()) || focused() != "Close");
             ++i) {
            const std::string before = focused();
            EXPECT_EQ(key("Tab"), 0);
            EXPECT_TRUE(pump([&] { return focused() != before; })) << before;
            reached.insert(focused());
        }
        reached.erase("");
        EXPECT_EQ(reached, all);
        EXPECT_EQ(focused(), "Close");
    };
    tabThrough({"Close", "Details", "Try again"});
    EXPECT_EQ(key("alt+d"), 0);
    EXPECT_TRUE(pump([&] { return names(controls()).contains("Copy"); }));
    // The only text shown is the details' lines (the proxy's question, hidden, has texts too).
    auto lines = window->withRole(ATSPI_ROLE_TEXT);
    std::erase_if(lines, [](const auto& line) { return !line.has(ATSPI_STATE_SHOWING); });
    EXPECT_TRUE(lines.size() == 1 && lines[0].name() == "Details");
    tabThrough({"Close", "Copy", "Details", "lines", "Try again"});
    EXPECT_EQ(key("Return"), 0);
    const auto r = running.get();
    EXPECT_EQ(r.exitStatus, 255) << r.err;
    EXPECT_NE(r.err.find(failure), std::string::npos) << r.err;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, Accessible, ::testing::Values(
    ThemeRow{"Adwaita", "Adwaita", true, 0xcc0000},
    ThemeRow{"Adwaita dark", "Adwaita:dark", false, 0xe68080},  // #cc0000 made lighter
    ThemeRow{"HighContrast", "HighContrast", false, 0xcc0000},
    ThemeRow{"a theme of its own", "Violet", false, 0xa172d1}), RowName());  // #8040c0 made lighter
// clang-format on

}  // namespace

}  // namespace bi
