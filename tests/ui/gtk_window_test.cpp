// The GTK window for real: an Xvfb of the test's own, the plug-in opened through openWindow, in
// German, and what it shows read back through GTK and its accessibility objects.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <regex>
#include <sstream>

#include "support.h"
#include "ui/i18n.h"
#include "window_driver.h"
#include "xserver.h"

namespace bi {

namespace {

using namespace std::chrono_literals;

// The widgets of a type under `widget`, in the order shown.
std::vector<GtkWidget*> all(GtkWidget* widget, GType type) {
    std::vector<GtkWidget*> found;
    if (G_TYPE_CHECK_INSTANCE_TYPE(widget, type) || !GTK_IS_CONTAINER(widget) || GTK_IS_BUTTON(widget)) {
        return G_TYPE_CHECK_INSTANCE_TYPE(widget, type) ? std::vector{widget} : found;
    }
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* it = children; it != nullptr; it = it->next)
        for (GtkWidget* w : all(GTK_WIDGET(it->data), type)) found.push_back(w);
    return g_list_free(children), found;
}

GtkWidget* windowTitled(const char* title) {
    GList* tops = gtk_window_list_toplevels();
    GtkWidget* found = nullptr;
    for (GList* it = tops; it != nullptr; it = it->next) {
        if (g_strcmp0(gtk_window_get_title(GTK_WINDOW(it->data)), title) == 0) found = GTK_WIDGET(it->data);
    }
    return g_list_free(tops), found;
}

TEST(GtkWindow, ShowsTheTransferThenAFailureInWholeInTheUsersLanguageAndReturnPressesItsButton) {
    if (!testsupport::XServer::installed()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_FALSE(testsupport::XServer::get().display().empty()) << "Xvfb did not start";
    ::setenv("DISPLAY", testsupport::XServer::get().display().c_str(), 1), ::unsetenv("WAYLAND_DISPLAY"),
        ::unsetenv("BI_WINDOW");
    ::setenv("NO_AT_BRIDGE", "1", 1), ::setenv("LC_ALL", "de_DE.UTF-8", 1), ::setenv("LANGUAGE", "de", 1),
        ui::reloadUserLanguage();
    testsupport::ScratchDir dir;  // a splash that is not an image: the window goes without one
    testsupport::writeFile(dir / "splash.png", std::string("\x89PNG\r\n\x1a\n", 8) + "not an image at all");
    Delegate delegate;
    auto window = ui::openWindow(delegate, ui::WindowSetup{"Installer test", dir / "splash.png"});
    GtkWidget* top = windowTitled("Installer test");
    ASSERT_NE(top, nullptr) << "not the GTK window";
    const auto labels = all(top, GTK_TYPE_LABEL), bars = all(top, GTK_TYPE_PROGRESS_BAR),
               buttons = all(top, GTK_TYPE_BUTTON), images = all(top, GTK_TYPE_IMAGE);
    AtkObject* bar = bars.empty() ? nullptr : gtk_widget_get_accessible(bars[0]);
    // The status, the line under the bar, the details' title, the proxy question's two labels;
    // the details' Copy, Cancel (then Close), Try again and the question's OK.
    ASSERT_TRUE(labels.size() == 5 && bars.size() == 1 && buttons.size() == 4 && images.size() == 1);
    const auto text = [](GtkWidget* label) { return std::string(gtk_label_get_text(GTK_LABEL(label))); };
    int width = 0;
    testsupport::ProcessResult key;
    std::thread user;
    EXPECT_EQ(
        drive(delegate, *window, "fail user", 500, 2ms,
              [&](char moment) {
                  if (moment == 't') {
                      width = gtk_widget_get_allocated_width(top);
                      EXPECT_TRUE(std::regex_match(
                          text(labels[1]), std::regex("500,0 KiB von 1000,0 KiB — \\d+,\\d KiB/s, noch \\d Sekunden?")))
                          << text(labels[1]);
                      EXPECT_EQ(
                          std::make_tuple(text(labels[0]), atk_object_get_name(bar), atk_object_get_description(bar)),
                          std::make_tuple("Wird heruntergeladen", std::string("Fortschritt des Herunterladens"),
                                          text(labels[1])));
                      EXPECT_TRUE(atk_object_get_role(gtk_widget_get_accessible(labels[0])) == ATK_ROLE_STATUSBAR &&
                                  gtk_widget_has_focus(buttons[1]));
                      EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bars[0])), 0.5);
                      EXPECT_FALSE(gtk_widget_get_visible(images[0]));
                      return;
                  }
                  PangoLayout* layout = gtk_label_get_layout(GTK_LABEL(labels[0]));
                  EXPECT_TRUE(text(labels[0]) == ui::troubleText(failureTrouble(), ui::userLanguage()) &&
                              pango_layout_get_line_count(layout) >= 2 && !pango_layout_is_ellipsized(layout));
                  EXPECT_EQ(gtk_widget_get_allocated_width(top), width);  // wrapped, not widened
                  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bars[0])), 1.0);
                  EXPECT_EQ(text(labels[1]), "500,0 KiB empfangen");  // what arrived, whatever the bar shows
                  // Not offered another attempt, with nothing to detail: Close alone, the default.
                  EXPECT_TRUE(gtk_widget_has_focus(buttons[1]) && !gtk_widget_get_visible(buttons[2]) &&
                              !gtk_widget_is_drawable(buttons[0]) && !gtk_widget_is_drawable(labels[2]));
                  user = std::thread([&] {
                      key = testsupport::runProcess({"/usr/bin/xdotool", "search", "--sync", "--name",
                                                     "^Installer test$", "windowfocus", "--sync", "key", "Return"});
                  });
              }),
        3);
    if (user.joinable()) user.join();
    ::unsetenv("LC_ALL"), ::unsetenv("LANGUAGE"), ui::reloadUserLanguage();
    EXPECT_TRUE(key.exitStatus == 0 && delegate.closes == 1 && windowTitled("Installer test") == nullptr) << key.err;
}

// Every status but a failure's, in every language of the catalogs: the window keeps its size,
// the status within its room for three lines.
TEST(GtkWindow, HoldsStillThroughEveryStatusInEveryLanguage) {
    if (!testsupport::XServer::installed()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_FALSE(testsupport::XServer::get().display().empty()) << "Xvfb did not start";
    ::setenv("DISPLAY", testsupport::XServer::get().display().c_str(), 1), ::setenv("NO_AT_BRIDGE", "1", 1);
    std::vector<ui::RunSnapshot> statuses(9);
    statuses[0].transfer.setMaximum(50 << 20), statuses[0].transfer.add(20 << 20, ui::TransferMeter::Clock::now());
    statuses[1].stage = ui::Stage::WaitingForOther, statuses[2].stage = ui::Stage::Extracting;
    statuses[3].stage = ui::Stage::MovingOn, statuses[3].server = 8, statuses[3].servers = 9;
    for (int cause = 0; cause < 4; ++cause) {
        ui::RunSnapshot& s = statuses[4 + cause];
        s.stage = ui::Stage::Retrying;
        s.retry = {ui::RetryCause(cause), 4, 4, std::chrono::steady_clock::now() + 30s};
    }
    statuses[8] = statuses[0];  // and back
    std::istringstream linguas(testsupport::readFile(BI_SOURCE_DIR "/po/LINGUAS"));
    for (std::string lang; linguas >> lang;) {
        if (lang.starts_with("#")) {
            std::getline(linguas, lang);
            continue;
        }
        ::setenv("LANGUAGE", lang.c_str(), 1), ::setenv("LC_ALL", "C.UTF-8", 1), ui::reloadUserLanguage();
        Delegate delegate;
        auto window = ui::openWindow(delegate, ui::WindowSetup{"Installer test"});
        delegate.window = window.get();
        GtkWidget* top = windowTitled("Installer test");
        ASSERT_NE(top, nullptr) << "not the GTK window";
        GtkWidget* status = all(top, GTK_TYPE_LABEL).at(0);
        GtkRequisition first{}, size{};
        for (const ui::RunSnapshot& shown : statuses) {
            window->show(shown);
            gtk_widget_get_preferred_size(top, nullptr, &size);
            if (&shown == &statuses[0]) first = size;
            PangoLayout* layout = gtk_label_get_layout(GTK_LABEL(status));
            EXPECT_TRUE(size.width == first.width && size.height == first.height &&
                        pango_layout_get_line_count(layout) <= 3 && !pango_layout_is_ellipsized(layout))
                << lang << ": " << gtk_label_get_text(GTK_LABEL(status));
        }
        window->close();
    }
    ::unsetenv("LC_ALL"), ::unsetenv("LANGUAGE"), ui::reloadUserLanguage();
}

}  // namespace

}  // namespace bi
