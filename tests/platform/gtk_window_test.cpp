// The GTK window for real: an Xvfb server of the test's own, the plug-in opened through
// openWindow, the window read back through GTK and screenshots of the X server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "main_loop_checks.h"
#include "ui/i18n.h"
#include "ui/window.h"
#include "support.h"
#include "xserver.h"

namespace bi {

namespace {

using namespace std::chrono_literals;
using ui::TextColor;

// Points this process at the test's X server; false (with the test skipped or failed) if none.
bool useXServer() {
    if (!testsupport::XServer::installed()) return false;
    const std::string& display = testsupport::XServer::get().display();
    if (display.empty()) return false;
    ::setenv("DISPLAY", display.c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("BI_WINDOW");
    ::setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus on a bare X server
    return true;
}

#define REQUIRE_X_SERVER()                                                          \
    do {                                                                            \
        if (!testsupport::XServer::installed()) GTEST_SKIP() << "Xvfb is not installed";         \
        ASSERT_TRUE(useXServer()) << "Xvfb did not start";                          \
    } while (false)

class Delegate : public ui::WindowDelegate {
public:
    ui::Window* window = nullptr;
    std::function<void()> onLaunch;
    int launches = 0;
    int closes = 0;

    void onWindowOpen() override {
        ++launches;
        if (onLaunch) onLaunch();
    }
    void onWindowClose() override {
        ++closes;
        window->mainLoop().stop(7);
    }
};

GtkWidget* findToplevel(const std::string& title) {
    GList* all = gtk_window_list_toplevels();
    GtkWidget* found = nullptr;
    for (GList* it = all; it != nullptr; it = it->next) {
        const char* t = gtk_window_get_title(GTK_WINDOW(it->data));
        if (t != nullptr && title == t) found = GTK_WIDGET(it->data);
    }
    g_list_free(all);
    return found;
}

GtkWidget* findChild(GtkWidget* widget, GType type) {
    if (G_TYPE_CHECK_INSTANCE_TYPE(widget, type)) return widget;
    if (!GTK_IS_CONTAINER(widget)) return nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    GtkWidget* found = nullptr;
    for (GList* it = children; it != nullptr && found == nullptr; it = it->next) {
        found = findChild(GTK_WIDGET(it->data), type);
    }
    g_list_free(children);
    return found;
}

constexpr guint8 kSplash[3] = {0x1e, 0x90, 0xff};

void writeSplash(const std::string& path, int width, int height) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    gdk_pixbuf_fill(pixbuf, (guint32{kSplash[0]} << 24) | (guint32{kSplash[1]} << 16) | (guint32{kSplash[2]} << 8));
    ASSERT_TRUE(gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr));
    g_object_unref(pixbuf);
}

struct Screenshot {
    bool wholeOnScreen = false;
    bool centred = false;
    int splashWidth = 0;  // the extent of the splash's colour
    int splashHeight = 0;
    int redPixels = 0;
};

// Saves what the X server shows of the window as a PNG and measures it.
Screenshot screenshot(GtkWidget* toplevel, const std::string& name) {
    GdkWindow* gdkWindow = gtk_widget_get_window(toplevel);
    GdkPixbuf* shot = gdk_pixbuf_get_from_window(gdkWindow, 0, 0, gdk_window_get_width(gdkWindow),
                                                 gdk_window_get_height(gdkWindow));
    if (shot == nullptr) return {};
    std::filesystem::create_directories(BI_SCREENSHOT_DIR);
    gdk_pixbuf_save(shot, (std::string(BI_SCREENSHOT_DIR) + "/" + name).c_str(), "png", nullptr, nullptr);

    Screenshot s;
    int originX = 0, originY = 0;
    gdk_window_get_origin(gdkWindow, &originX, &originY);
    GdkWindow* root = gdk_get_default_root_window();
    s.wholeOnScreen = originX >= 0 && originY >= 0 &&
                      originX + gdk_pixbuf_get_width(shot) <= gdk_window_get_width(root) &&
                      originY + gdk_pixbuf_get_height(shot) <= gdk_window_get_height(root);
    s.centred = std::abs(2 * originX + gdk_pixbuf_get_width(shot) - gdk_window_get_width(root)) <= 2 &&
                std::abs(2 * originY + gdk_pixbuf_get_height(shot) - gdk_window_get_height(root)) <= 2;
    int left = INT32_MAX, right = -1, top = INT32_MAX, bottom = -1;
    const int channels = gdk_pixbuf_get_n_channels(shot);
    for (int y = 0; y < gdk_pixbuf_get_height(shot); ++y) {
        const guint8* row = gdk_pixbuf_get_pixels(shot) + y * gdk_pixbuf_get_rowstride(shot);
        for (int x = 0; x < gdk_pixbuf_get_width(shot); ++x) {
            const guint8* p = row + x * channels;
            if (p[0] == kSplash[0] && p[1] == kSplash[1] && p[2] == kSplash[2]) {
                left = std::min(left, x), right = std::max(right, x);
                top = std::min(top, y), bottom = std::max(bottom, y);
            }
            if (p[0] > 150 && p[1] < 90 && p[2] < 90) ++s.redPixels;
        }
    }
    s.splashWidth = right < 0 ? 0 : right - left + 1;
    s.splashHeight = bottom < 0 ? 0 : bottom - top + 1;
    g_object_unref(shot);
    return s;
}

// The widgets of one type, in the order the window shows them.
std::vector<GtkWidget*> findAll(GtkWidget* widget, GType type) {
    if (G_TYPE_CHECK_INSTANCE_TYPE(widget, type)) return {widget};
    std::vector<GtkWidget*> found;
    if (!GTK_IS_CONTAINER(widget) || GTK_IS_BUTTON(widget)) return found;
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* it = children; it != nullptr; it = it->next) {
        for (GtkWidget* w : findAll(GTK_WIDGET(it->data), type)) found.push_back(w);
    }
    g_list_free(children);
    return found;
}

// What the window shows and what a screen reader is told about it.
struct Seen {
    std::string status, progressLine, button;
    int statusLines = 0;
    bool statusCut = true;
    double fraction = -1;
    bool buttonFocused = false;
    AtkRole barRole{}, statusRole{};
    std::string barName, barDescription, statusName;
    int width = 0;
};

Seen look(const std::string& title) {
    GtkWidget* top = findToplevel(title);
    const auto labels = findAll(top, GTK_TYPE_LABEL);  // the status, then the line under the bar
    GtkWidget* bar = findChild(top, GTK_TYPE_PROGRESS_BAR);
    GtkWidget* button = findChild(top, GTK_TYPE_BUTTON);
    Seen s;
    if (labels.size() != 2 || bar == nullptr || button == nullptr) return s;
    s.status = gtk_label_get_text(GTK_LABEL(labels[0]));
    PangoLayout* layout = gtk_label_get_layout(GTK_LABEL(labels[0]));
    s.statusLines = pango_layout_get_line_count(layout);
    s.statusCut = pango_layout_is_ellipsized(layout);
    s.progressLine = gtk_label_get_text(GTK_LABEL(labels[1]));
    s.button = gtk_button_get_label(GTK_BUTTON(button));
    s.buttonFocused = gtk_widget_has_focus(button);
    s.fraction = gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar));
    AtkObject* a11yBar = gtk_widget_get_accessible(bar);
    AtkObject* a11yStatus = gtk_widget_get_accessible(labels[0]);
    s.barRole = atk_object_get_role(a11yBar);
    s.barName = atk_object_get_name(a11yBar);
    s.barDescription = atk_object_get_description(a11yBar) ? atk_object_get_description(a11yBar) : "";
    s.statusRole = atk_object_get_role(a11yStatus);
    s.statusName = atk_object_get_name(a11yStatus);
    s.width = gtk_widget_get_allocated_width(top);
    return s;
}

// Presses a key in the window as a person would: focus, then a real key event, not one sent
// to a window that the key press itself may close.
testsupport::ProcessResult pressKey(const std::string& title, const char* key) {
    auto r = testsupport::runProcess({"/usr/bin/xdotool", "search", "--sync", "--name", "^" + title + "$", "windowfocus",
                                      "--sync"});
    return r.exitStatus != 0 ? r : testsupport::runProcess({"/usr/bin/xdotool", "key", key});
}

TEST(GtkWindow, ShowsSplashAndProgressWhileDownloadingAndReturnPressesTheButton) {
    REQUIRE_X_SERVER();
    testsupport::ScratchDir dir;
    writeSplash(dir / "splash.png", 300, 150);
    ::unsetenv("GDK_GL");
    Delegate delegate;
    auto window = ui::openWindow(delegate, "Installer test");
    EXPECT_STREQ(std::getenv("GDK_GL"), "disable");
    ASSERT_TRUE(window->waitsForUserAfterFailure()) << "not the GTK window";
    delegate.window = window.get();
    ui::Window& w = *window;

    Screenshot shot;
    Seen before, during;
    testsupport::ProcessResult key;
    std::thread worker;
    delegate.onLaunch = [&] {
        worker = std::thread([&] {
            w.mainLoop().runSync([&] {
                w.setSplashImage(dir / "splash.png", 400, 400);
                w.setProgressValue(0);
                w.setProgressMaxValue(1024000);
                w.setProgressIndeterminate(false);
                w.setStatusText("Downloading", TextColor::Normal);
                w.setButtonTitle("Cancel");
                before = look("Installer test");
            });
            for (int i = 0; i < 500; ++i) {
                w.mainLoop().runSync([&] {
                    w.advanceProgress(1024);
                    w.refresh();
                });
                std::this_thread::sleep_for(2ms);
            }
            std::this_thread::sleep_for(500ms);  // time to paint and to tell the line under the bar
            w.mainLoop().runSync([&] {
                // The button, disabled for a while, has the focus again for Return.
                w.setButtonEnabled(false);
                w.setButtonEnabled(true);
                during = look("Installer test");
                shot = screenshot(findToplevel("Installer test"), "window-downloading.png");
            });
            key = pressKey("Installer test", "Return");
        });
    };
    w.mainLoop().runAfter(20, [&] { w.mainLoop().stop(-1); });
    EXPECT_EQ(w.mainLoop().run(), 7);
    worker.join();

    EXPECT_EQ(key.exitStatus, 0) << key.err;
    EXPECT_EQ(delegate.launches, 1);
    EXPECT_EQ(delegate.closes, 1);
    EXPECT_EQ(findToplevel("Installer test"), nullptr);
    EXPECT_EQ(before.progressLine, "");  // nothing before the first bytes
    EXPECT_DOUBLE_EQ(during.fraction, 0.5);
    EXPECT_EQ(during.status, "Downloading");
    EXPECT_TRUE(std::regex_match(during.progressLine, std::regex("512\\.0 kB of 1\\.0 MB \u2014 \\d+\\.\\d kB/s, \\d seconds? left")))
        << during.progressLine;
    EXPECT_TRUE(during.buttonFocused);
    EXPECT_EQ(during.barRole, ATK_ROLE_PROGRESS_BAR);
    EXPECT_EQ(during.barName, "Download progress");
    EXPECT_EQ(during.barDescription, during.progressLine);
    EXPECT_EQ(during.statusRole, ATK_ROLE_STATUSBAR);
    EXPECT_EQ(during.statusName, "Downloading");
    EXPECT_TRUE(shot.wholeOnScreen);  // grown by the splash, yet still whole on the screen
    EXPECT_TRUE(shot.centred);
    EXPECT_EQ(shot.splashWidth, 400);  // 300 x 150 scaled proportionally into 400 x 400
    EXPECT_EQ(shot.splashHeight, 200);
}

// In German: the window's own words are the user's, the process's locale stays "C".
TEST(GtkWindow, AFailureIsReadInWholeBesideWhatArrivedInTheUsersLanguageAndTheCloseBoxCloses) {
    REQUIRE_X_SERVER();
    // The language is read once: read it again in German, and again afterwards.
    ::setenv("LC_ALL", "de_DE.UTF-8", 1);
    ::setenv("LANGUAGE", "de", 1);
    ui::reloadUserLanguage();
    const std::shared_ptr<void> restore(nullptr, [](void*) {
        ::unsetenv("LC_ALL");
        ::unsetenv("LANGUAGE");
        ui::reloadUserLanguage();
    });
    testsupport::ScratchDir dir;
    testsupport::writeFile(dir / "splash.png", std::string("\x89PNG\r\n\x1a\n", 8) + "not an image at all");
    ::setenv("GDK_GL", "gles", 1);
    Delegate delegate;
    auto window = ui::openWindow(delegate, "Installer failure");
    EXPECT_STREQ(std::getenv("GDK_GL"), "gles");  // the user's choice stays
    ASSERT_TRUE(window->waitsForUserAfterFailure()) << "not the GTK window";
    delegate.window = window.get();
    ui::Window& w = *window;

    const std::string reason = "Error during the download process. Failed to connect to 127.0.0.1 port 1 after 0 ms: "
                               "Couldn't connect to server, and then some more words to make it long";
    bool mapped = false;
    bool imageShown = true;
    Seen before, after;
    Screenshot shot;
    delegate.onLaunch = [&] {
        w.setSplashImage(dir / "splash.png", 400, 400);
        w.setStatusText("Downloading", TextColor::Normal);
        w.setProgressMaxValue(1000);
        w.advanceProgress(300);
        // As the controller shows a failure: a full bar at rest, the reason in red.
        w.setProgressValue(w.progressMaxValue());
        w.mainLoop().runAfter(0.3, [&] { before = look("Installer failure"); });
        w.mainLoop().runAfter(0.4, [&] {
            w.setStatusText(reason, TextColor::Red);
            w.setButtonTitle("Close");
        });
        w.mainLoop().runAfter(0.8, [&] {
            GtkWidget* top = findToplevel("Installer failure");
            mapped = gtk_widget_get_mapped(top);
            imageShown = gtk_widget_get_visible(findChild(top, GTK_TYPE_IMAGE));
            after = look("Installer failure");
            shot = screenshot(top, "window-failure.png");
            GdkEvent* event = gdk_event_new(GDK_DELETE);  // what the close box sends
            event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(top)));
            gdk_event_put(event);
            gdk_event_free(event);
        });
    };
    w.mainLoop().runAfter(20, [&] { w.mainLoop().stop(-1); });
    EXPECT_EQ(w.mainLoop().run(), 7);
    w.close();  // closed already: tells the delegate nothing

    EXPECT_EQ(delegate.closes, 1);
    EXPECT_TRUE(mapped);
    EXPECT_TRUE(shot.wholeOnScreen);
    EXPECT_TRUE(shot.centred);  // also when the wrapped reason made it grow
    EXPECT_FALSE(imageShown);
    EXPECT_EQ(shot.splashWidth, 0);
    EXPECT_GT(shot.redPixels, 100);  // the failure text
    EXPECT_EQ(after.status, reason);
    EXPECT_GE(after.statusLines, 2);
    EXPECT_FALSE(after.statusCut);
    EXPECT_EQ(after.width, before.width);  // wrapped, not widened
    EXPECT_DOUBLE_EQ(after.fraction, 1.0);
    EXPECT_EQ(after.progressLine, "300 Bytes von 1,0 kB");  // what arrived, whatever the bar shows
    EXPECT_EQ(after.barName, "Fortschritt des Herunterladens");
    EXPECT_EQ(after.button, "Close");  // as given: the controller translates its own texts
    EXPECT_STREQ(ui::tr("Close"), "Schließen");
    EXPECT_EQ(std::to_string(1.5), "1.500000");
    EXPECT_EQ(findToplevel("Installer failure"), nullptr);
}

class SilentDelegate : public ui::WindowDelegate {
    void onWindowOpen() override {}
    void onWindowClose() override {}
};

TEST(GtkWindow, MainLoopKeepsTheSamePromisesAsTheConsoleLoop) {
    REQUIRE_X_SERVER();
    loopchecks::allChecks([] {
        auto delegate = std::make_shared<SilentDelegate>();
        std::shared_ptr<ui::Window> window = ui::openWindow(*delegate, "Loop test");
        EXPECT_TRUE(window->waitsForUserAfterFailure()) << "not the GTK window";
        ui::MainLoop* loop = &window->mainLoop();
        // The window goes before its delegate.
        return loopchecks::LoopUnderTest{std::make_shared<std::pair<std::shared_ptr<SilentDelegate>,
                                                                    std::shared_ptr<ui::Window>>>(
                                             delegate, window),
                                         loop};
    });
}

TEST(WindowChoice, ConsoleWithoutADisplayOrWhenAsked) {
    SilentDelegate delegate;
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    EXPECT_FALSE(ui::openWindow(delegate, "t")->waitsForUserAfterFailure());

    if (!testsupport::XServer::installed()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(useXServer());
    ::setenv("BI_WINDOW", "console", 1);
    EXPECT_FALSE(ui::openWindow(delegate, "t")->waitsForUserAfterFailure());
    ::unsetenv("BI_WINDOW");
}

}  // namespace

}  // namespace bi
