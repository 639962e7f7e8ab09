// The GTK 3 backend of the download window, built as the plug-in bootstrap-installer-gtk.so.
// It depends only on header-only interfaces of the platform layer and on the progress words,
// compiled into it too, so the installer and the plug-in share no code that would need
// linking; the installer lends it its language.
#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>

#include "ui/gtk/gtk_main_loop.h"
#include "ui/gtk/gtk_plugin.h"
#include "ui/progress_text.h"

namespace bi::ui {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kPulseSeconds = 0.1;
constexpr guint kProgressLineMs = 250;  // the words under the bar change no faster than this
constexpr int kContentWidth = 400;
constexpr int kMostStatusLines = 6;
constexpr const char* kRed = "#c01c28";

// Splash image, status text, progress bar, the line about the transfer under it, and the
// button, in a column of a fixed width.
class GtkDownloadWindow final : public Window {
public:
    GtkDownloadWindow(WindowDelegate& delegate, const char* title, const Language& language)
        : delegate_(delegate), language_(language) {
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        g_object_ref(window_);  // ours until we destroy it, whatever GTK does meanwhile
        gtk_window_set_title(GTK_WINDOW(window_), title);
        gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
        // Centred again when the splash makes it grow, so that it stays whole on the screen.
        gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER_ALWAYS);
        gtk_container_set_border_width(GTK_CONTAINER(window_), 18);

        GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
        gtk_widget_set_size_request(box, kContentWidth, -1);
        gtk_container_add(GTK_CONTAINER(window_), box);

        image_ = gtk_image_new();
        gtk_widget_set_no_show_all(image_, TRUE);  // shown once a splash has been read
        gtk_widget_set_margin_bottom(image_, 6);
        gtk_box_pack_start(GTK_BOX(box), image_, FALSE, FALSE, 0);

        // Wrapped within the column: a failure's reason is read in whole, not cut off.
        label_ = columnLabel(kMostStatusLines);
        // Room for three lines from the start, so that the window does not jump when a text wraps.
        PangoLayout* lines = gtk_widget_create_pango_layout(label_, "M\nM\nM");
        int height = 0;
        pango_layout_get_pixel_size(lines, nullptr, &height);
        g_object_unref(lines);
        gtk_widget_set_size_request(label_, -1, height);
        gtk_label_set_yalign(GTK_LABEL(label_), 0);
        gtk_box_pack_start(GTK_BOX(box), label_, FALSE, FALSE, 0);

        bar_ = gtk_progress_bar_new();
        gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(bar_), 0.05);
        gtk_box_pack_start(GTK_BOX(box), bar_, FALSE, FALSE, 0);

        progressLine_ = columnLabel(1);
        PangoAttrList* small = pango_attr_list_new();
        pango_attr_list_insert(small, pango_attr_scale_new(PANGO_SCALE_SMALL));
        gtk_label_set_attributes(GTK_LABEL(progressLine_), small);
        pango_attr_list_unref(small);
        gtk_style_context_add_class(gtk_widget_get_style_context(progressLine_), GTK_STYLE_CLASS_DIM_LABEL);
        gtk_box_pack_start(GTK_BOX(box), progressLine_, FALSE, FALSE, 0);

        GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
        gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
        gtk_widget_set_margin_top(buttons, 6);
        button_ = gtk_button_new_with_label(language_.tr("Cancel"));
        gtk_widget_set_can_default(button_, TRUE);
        gtk_container_add(GTK_CONTAINER(buttons), button_);
        gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);
        gtk_window_set_default(GTK_WINDOW(window_), button_);

        // What a screen reader says: the state as a status bar, the bar by name, with the
        // line under it as its description.
        atk_object_set_role(gtk_widget_get_accessible(label_), ATK_ROLE_STATUSBAR);
        atk_object_set_name(gtk_widget_get_accessible(bar_), language_.tr("Download progress"));

        g_signal_connect(button_, "clicked", G_CALLBACK(onClicked), this);
        g_signal_connect(window_, "delete-event", G_CALLBACK(onDelete), this);
        g_signal_connect(window_, "key-press-event", G_CALLBACK(onKey), this);
        gtk_widget_show_all(window_);
        gtk_widget_grab_focus(button_);
        loop_.runAfter(0, [this] { delegate_.onWindowOpen(); });
    }

    ~GtkDownloadWindow() override { destroyWidgets(); }

    MainLoop& mainLoop() override { return loop_; }

    void setProgressValue(double value) override {
        meter_.setValue(value);
        showFraction();
    }
    double progressMaxValue() const override { return max_; }
    void setProgressMaxValue(double max) override {
        max_ = max;
        meter_.setMaximum(max);
        showFraction();
    }
    void advanceProgress(double delta) override {
        const bool first = !meter_.receiving();
        meter_.add(delta, TransferMeter::Clock::now());
        showFraction();
        if (first) {
            showProgressLine();
            if (progressSource_ == 0 && bar_ != nullptr)
                progressSource_ = g_timeout_add(kProgressLineMs, onProgressTick, this);
        }
    }
    void setProgressIndeterminate(bool indeterminate) override {
        meter_.setIndeterminate(indeterminate);
        // One pulse puts the bar into activity mode, so it looks indeterminate even at rest.
        if (indeterminate && bar_ != nullptr) gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar_));
        updatePulse();
        showFraction();
    }
    void startProgressAnimation() override {
        animating_ = true;
        updatePulse();
    }
    void stopProgressAnimation() override {
        animating_ = false;
        updatePulse();
    }

    void setStatusText(const std::string& text, TextColor color) override {
        // The controller says "Downloading" with every report; laying it out again costs.
        if (label_ == nullptr || (text == status_ && color == color_)) return;
        status_ = text;
        color_ = color;
        if (color == TextColor::Red) {
            meter_.stop();
            showProgressLine();
            char* markup = g_markup_printf_escaped("<span foreground=\"%s\">%s</span>", kRed, text.c_str());
            gtk_label_set_markup(GTK_LABEL(label_), markup);
            g_free(markup);
        } else {
            gtk_label_set_text(GTK_LABEL(label_), text.c_str());
        }
        note("status", gtk_label_get_text(GTK_LABEL(label_)));
    }

    void downloadFinished() override {
        meter_.finish(TransferMeter::Clock::now());
        showProgressLine();
    }

    void setButtonTitle(const std::string& title) override {
        if (button_ == nullptr) return;
        gtk_button_set_label(GTK_BUTTON(button_), title.c_str());
        note("button", gtk_button_get_label(GTK_BUTTON(button_)));
    }
    void setButtonEnabled(bool enabled) override {
        if (button_ == nullptr) return;
        gtk_widget_set_sensitive(button_, enabled);
        // A disabled button lost the focus; Return must press it again.
        if (enabled) gtk_widget_grab_focus(button_);
    }

    void setSplashImage(const std::string& path, int width, int height) override {
        if (image_ == nullptr) return;
        // Read at the screen's scale, so that it is drawn sharp on a high-density screen.
        const int scale = gtk_widget_get_scale_factor(window_);
        GdkPixbuf* pixbuf = width > 0 && height > 0 ? gdk_pixbuf_new_from_file_at_scale(path.c_str(), width * scale,
                                                                                        height * scale, TRUE, nullptr)
                                                    : nullptr;
        if (pixbuf == nullptr) {
            gtk_image_clear(GTK_IMAGE(image_));
            gtk_widget_hide(image_);
            return;
        }
        cairo_surface_t* surface = gdk_cairo_surface_create_from_pixbuf(pixbuf, scale, gtk_widget_get_window(window_));
        g_object_unref(pixbuf);
        gtk_image_set_from_surface(GTK_IMAGE(image_), surface);
        cairo_surface_destroy(surface);
        gtk_widget_show(image_);
    }

    void refresh() override {
        if (window_ != nullptr) gtk_widget_queue_draw(window_);
    }

    void close() override {
        if (closed_) return;
        closed_ = true;
        delegate_.onWindowClose();
        destroyWidgets();
    }

    bool waitsForUserAfterFailure() const override { return true; }

private:
    // With BI_WINDOW_TRANSCRIPT set, what the window shows is also written to that file, a line
    // each ("status: ..."), so that a test run as a process can read the window.
    void note(const char* what, const char* shown) const {
        if (transcript_ == nullptr) return;
        if (std::FILE* file = std::fopen(transcript_, "a")) {
            std::fprintf(file, "%s: %s\n", what, shown != nullptr ? shown : "");
            std::fclose(file);
        }
    }

    // A label of at most `lines` lines within the column's width, which it never widens.
    static GtkWidget* columnLabel(int lines) {
        GtkWidget* label = gtk_label_new("");
        if (lines > 1) {
            gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
            gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
            gtk_label_set_lines(GTK_LABEL(label), lines);
        }
        gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
        gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
        gtk_label_set_xalign(GTK_LABEL(label), 0);
        return label;
    }

    static void onClicked(GtkButton*, gpointer self) { static_cast<GtkDownloadWindow*>(self)->close(); }

    // The close box: we close the window ourselves, after telling the delegate.
    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self) {
        static_cast<GtkDownloadWindow*>(self)->close();
        return TRUE;
    }

    // Escape does what the close box does.
    static gboolean onKey(GtkWidget*, GdkEventKey* event, gpointer self) {
        if (event->keyval != GDK_KEY_Escape) return FALSE;
        static_cast<GtkDownloadWindow*>(self)->close();
        return TRUE;
    }

    static gboolean onPulse(gpointer self) {
        gtk_progress_bar_pulse(GTK_PROGRESS_BAR(static_cast<GtkDownloadWindow*>(self)->bar_));
        return G_SOURCE_CONTINUE;
    }

    static gboolean onProgressTick(gpointer data) {
        auto* self = static_cast<GtkDownloadWindow*>(data);
        self->showProgressLine();
        if (!self->meter_.finished() && !self->meter_.stopped()) return G_SOURCE_CONTINUE;
        self->progressSource_ = 0;
        return G_SOURCE_REMOVE;
    }

    void showProgressLine() {
        if (progressLine_ == nullptr) return;
        const std::string line = windowProgressLine(meter_, TransferMeter::Clock::now(), language_);
        gtk_label_set_text(GTK_LABEL(progressLine_), line.c_str());
        atk_object_set_description(gtk_widget_get_accessible(bar_), line.c_str());
        if (meter_.stopped() || meter_.finished()) note("progress", gtk_label_get_text(GTK_LABEL(progressLine_)));
    }

    void showFraction() {
        if (bar_ == nullptr || meter_.indeterminate()) return;
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), meter_.fraction());
    }

    void updatePulse() {
        const bool pulse = bar_ != nullptr && meter_.indeterminate() && animating_;
        if (pulse && pulseSource_ == 0) {
            pulseSource_ = g_timeout_add(static_cast<guint>(kPulseSeconds * 1000), onPulse, this);
        } else if (!pulse && pulseSource_ != 0) {
            g_source_remove(pulseSource_);
            pulseSource_ = 0;
        }
    }

    void destroyWidgets() {
        if (window_ == nullptr) return;
        bar_ = label_ = progressLine_ = button_ = image_ = nullptr;
        updatePulse();
        if (progressSource_ != 0) g_source_remove(progressSource_);
        progressSource_ = 0;
        g_signal_handlers_disconnect_by_data(window_, this);
        GtkWidget* window = window_;
        window_ = nullptr;
        gtk_widget_destroy(window);  // destroys the button too, with its handler
        g_object_unref(window);
        gdk_display_flush(gdk_display_get_default());  // gone from the screen even if no loop runs again
    }

    WindowDelegate& delegate_;
    const Language& language_;
    GtkMainLoop loop_;
    GtkWidget* window_ = nullptr;
    GtkWidget* image_ = nullptr;
    GtkWidget* label_ = nullptr;
    GtkWidget* bar_ = nullptr;
    GtkWidget* progressLine_ = nullptr;
    GtkWidget* button_ = nullptr;
    guint pulseSource_ = 0;
    guint progressSource_ = 0;
    TransferMeter meter_;
    double max_ = 0;
    std::string status_;
    TextColor color_ = TextColor::Normal;
    bool animating_ = false;
    bool closed_ = false;
    const char* transcript_ = std::getenv("BI_WINDOW_TRANSCRIPT");
};

}  // namespace
}  // namespace bi::ui

static_assert(std::string_view(bi::ui::kGtkPluginFactory) == "bi_gtk_open_window_v2");

extern "C" __attribute__((visibility("default"))) bi::ui::Window* bi_gtk_open_window_v2(
    bi::ui::WindowDelegate* delegate, const char* title, const bi::ui::Language* language) {
    if (delegate == nullptr || language == nullptr) return nullptr;
    // The window needs no OpenGL, and Mesa's start-up would cost tens of megabytes.
    ::setenv("GDK_GL", "disable", 0);
    // GTK would set the process's locale from the environment, and with it the language of
    // system error texts and the format of numbers in the log lines. The window's texts come
    // in the user's language all the same, through `language`.
    gtk_disable_setlocale();
    if (!gtk_init_check(nullptr, nullptr)) return nullptr;
    return new bi::ui::GtkDownloadWindow(*delegate, title != nullptr ? title : "", *language);
}
