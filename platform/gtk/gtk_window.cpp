// The GTK 3 backend of the download window, built as the plug-in bootstrap-installer-gtk.so.
// It depends only on header-only interfaces of the platform layer and on the progress words,
// compiled into it too, so the installer and the plug-in share no code that would need
// linking; the installer lends it its language.
#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/busy_stretch.h"
#include "platform/gtk/gtk_plugin.h"
#include "platform/progress_text.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// What the loop shares with the GLib sources it has posted; a source may outlive the loop.
struct LoopState {
    std::mutex mutex;
    std::condition_variable callDone;
    std::multimap<Clock::time_point, std::function<void()>> timers;
    std::thread::id mainThread = std::this_thread::get_id();
    bool stopped = false;
    int status = 0;
};

struct SyncCall {
    std::shared_ptr<LoopState> state;
    std::function<void()> fn;
    bool started = false;
    bool done = false;
};

struct TimerFire {
    std::shared_ptr<LoopState> state;
    Clock::time_point due;
};

gboolean quitLoop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

gboolean runCall(gpointer data) {
    SyncCall& call = **static_cast<std::shared_ptr<SyncCall>*>(data);
    {
        std::lock_guard lock(call.state->mutex);
        if (call.state->stopped) return G_SOURCE_REMOVE;
        call.started = true;
    }
    call.fn();
    call.fn = nullptr;
    {
        std::lock_guard lock(call.state->mutex);
        call.done = true;
    }
    call.state->callDone.notify_all();
    return G_SOURCE_REMOVE;
}

void deleteCall(gpointer data) { delete static_cast<std::shared_ptr<SyncCall>*>(data); }

// Each timer has a GLib timeout of its own, but whichever fires runs every timer that is due,
// earliest first: GLib alone would run timers that became due together in the order added.
gboolean fireTimers(gpointer data) {
    const TimerFire& fire = *static_cast<TimerFire*>(data);
    LoopState& state = *fire.state;
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(state.mutex);
            if (state.stopped || state.timers.empty()) break;
            const auto first = state.timers.begin();
            if (first->first > std::max(Clock::now(), fire.due)) break;
            fn = std::move(first->second);
            state.timers.erase(first);
        }
        fn();
    }
    return G_SOURCE_REMOVE;
}

void deleteTimerFire(gpointer data) { delete static_cast<TimerFire*>(data); }

// The busy-stretch record of the loop being run: whatever the thread does between two polls
// (our calls and timers, GTK's events and drawing). GLib's poll hook takes no user data.
BusyStretch* gBusy = nullptr;
Clock::time_point gAwake;
GPollFunc gRealPoll = nullptr;

gint timedPoll(GPollFD* fds, guint count, gint timeout) {
    gBusy->add(Clock::now() - gAwake);
    const gint result = gRealPoll(fds, count, timeout);
    gAwake = Clock::now();
    return result;
}

// The main loop on GLib's default main context, where GTK delivers its events.
class GtkMainLoop final : public MainLoop {
public:
    GtkMainLoop() : state_(std::make_shared<LoopState>()), loop_(g_main_loop_new(nullptr, FALSE)) {}

    ~GtkMainLoop() override {
        // Sources still posted must find the loop ended and leave the window alone.
        std::multimap<Clock::time_point, std::function<void()>> timers;
        {
            std::lock_guard lock(state_->mutex);
            state_->stopped = true;
            timers.swap(state_->timers);
        }
        state_->callDone.notify_all();
        g_main_loop_unref(loop_);
    }

    int run() override {
        {
            std::lock_guard lock(state_->mutex);
            state_->mainThread = std::this_thread::get_id();
            if (state_->stopped) return state_->status;
        }
        BusyStretch busy;
        if (busy.enabled()) {
            gBusy = &busy;
            gRealPoll = g_main_context_get_poll_func(nullptr);
            gAwake = Clock::now();
            g_main_context_set_poll_func(nullptr, timedPoll);
        }
        g_main_loop_run(loop_);
        if (busy.enabled()) {
            busy.add(Clock::now() - gAwake);
            g_main_context_set_poll_func(nullptr, gRealPoll);
            gBusy = nullptr;
            busy.print();
        }
        std::lock_guard lock(state_->mutex);
        return state_->status;
    }

    void stop(int status) override {
        {
            std::lock_guard lock(state_->mutex);
            if (state_->stopped) return;
            state_->stopped = true;
            state_->status = status;
        }
        state_->callDone.notify_all();
        // Quitting from the loop's own thread also covers a stop that comes before run().
        g_idle_add_full(G_PRIORITY_HIGH, quitLoop, g_main_loop_ref(loop_),
                        reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
    }

    void runSync(std::function<void()> fn) override {
        std::unique_lock lock(state_->mutex);
        if (state_->stopped) return;
        if (std::this_thread::get_id() == state_->mainThread) {
            lock.unlock();
            fn();
            return;
        }
        auto call = std::make_shared<SyncCall>();
        call->state = state_;
        call->fn = std::move(fn);
        // An idle source, not g_main_context_invoke: that would run fn right here when no
        // thread holds the context yet. Below redraw priority, so a busy worker cannot
        // starve the window's painting.
        g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, runCall, new std::shared_ptr<SyncCall>(call), deleteCall);
        // A call the main thread has begun is waited for: fn may use the caller's stack.
        state_->callDone.wait(lock, [&] { return call->done || (state_->stopped && !call->started); });
    }

    void runAfter(double seconds, std::function<void()> fn) override {
        const double delay = std::isfinite(seconds) && seconds > 0 ? std::min(seconds, 1e6) : 0.0;
        const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(delay));
        {
            std::lock_guard lock(state_->mutex);
            if (state_->stopped) return;
            state_->timers.emplace(due, std::move(fn));
        }
        const auto ms = static_cast<guint>(std::ceil(delay * 1000));
        g_timeout_add_full(G_PRIORITY_DEFAULT, ms, fireTimers, new TimerFire{state_, due}, deleteTimerFire);
    }

private:
    std::shared_ptr<LoopState> state_;
    GMainLoop* loop_;
};

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
        loop_.runAfter(0, [this] { delegate_.applicationDidFinishLaunching(); });
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
    void incrementProgressBy(double delta) override {
        const bool first = !meter_.receiving();
        meter_.add(delta, TransferMeter::Clock::now());
        showFraction();
        if (first) {
            showProgressLine();
            if (progressSource_ == 0 && bar_ != nullptr) progressSource_ = g_timeout_add(kProgressLineMs, onProgressTick, this);
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
    }

    void downloadFinished() override {
        meter_.finish(TransferMeter::Clock::now());
        showProgressLine();
    }

    void setButtonTitle(const std::string& title) override {
        if (button_ != nullptr) gtk_button_set_label(GTK_BUTTON(button_), title.c_str());
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
        GdkPixbuf* pixbuf = width > 0 && height > 0
                                ? gdk_pixbuf_new_from_file_at_scale(path.c_str(), width * scale, height * scale, TRUE, nullptr)
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
        delegate_.windowWillClose();
        destroyWidgets();
    }

    bool waitsForUserAfterFailure() const override { return true; }

private:
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
};

}  // namespace
}  // namespace platform

static_assert(std::string_view(platform::kGtkPluginFactory) == "bi_gtk_open_window_v2");

extern "C" __attribute__((visibility("default"))) platform::Window* bi_gtk_open_window_v2(
    platform::WindowDelegate* delegate, const char* title, const platform::Language* language) {
    if (delegate == nullptr || language == nullptr) return nullptr;
    // The window needs no OpenGL, and Mesa's start-up would cost tens of megabytes.
    ::setenv("GDK_GL", "disable", 0);
    // GTK would set the process's locale from the environment, and with it the language of
    // system error texts and the format of numbers in the log lines. The window's texts come
    // in the user's language all the same, through `language`.
    gtk_disable_setlocale();
    if (!gtk_init_check(nullptr, nullptr)) return nullptr;
    return new platform::GtkDownloadWindow(*delegate, title != nullptr ? title : "", *language);
}
