// The GTK 3 backend of the download window, built as the plug-in bootstrap-installer-gtk.so.
// It depends only on header-only interfaces of the platform layer and on the words (progress
// and status), compiled into it too, so the installer and the plug-in share no code that would
// need linking; the installer lends it its language.
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

#include "ui/contrast.h"
#include "ui/gtk/gtk_main_loop.h"
#include "ui/gtk/gtk_plugin.h"
#include "ui/progress_text.h"
#include "ui/words.h"

namespace bi::ui {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kPulseSeconds = 0.1;
constexpr guint kProgressLineMs = 250;  // the words under the bar change no faster than this
constexpr int kContentWidth = 400;
constexpr int kMostStatusLines = 6;
constexpr GdkRGBA kErrorColour{0.8, 0, 0, 1};  // GTK's own, for a theme that names none
constexpr const char* kFailedClass = "bi-failed";
constexpr const char* kInstallerIcon = "system-software-install";  // the icon naming standard's
constexpr guint kRetryTickMs = 1000;                               // a retry's wait counts down by the second
constexpr double kOfflineNoticeSeconds = 2;                        // long enough to read that the server was away
constexpr int kAside = 48;                                         // how far a waiting window stands off the other's
constexpr int kDetailsHeight = 160;                                // the details' lines scroll beyond this

// Splash image, status text, progress bar, the line about the transfer under it, after a
// failure its details, and the buttons, in a column of a fixed width.
class GtkDownloadWindow final : public Window {
public:
    GtkDownloadWindow(WindowDelegate& delegate, const WindowSetup& setup, const Language& language)
        : delegate_(delegate),
          language_(language),
          loop_(setup.settings.loopStats),
          transcript_(setup.settings.transcript) {
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        g_object_ref(window_);  // ours until we destroy it, whatever GTK does meanwhile
        gtk_window_set_title(GTK_WINDOW(window_), setup.title.c_str());
        // The bundle's icon, else the desktop's icon for installers. Wayland shows neither: there
        // the desktop shows the icon of the application's id.
        if (setup.icon.empty() || !gtk_window_set_icon_from_file(GTK_WINDOW(window_), setup.icon.c_str(), nullptr))
            gtk_window_set_icon_name(GTK_WINDOW(window_), kInstallerIcon);
        gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
        // Centred again when the splash makes it grow, so that it stays whole on the screen.
        gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER_ALWAYS);
        gtk_container_set_border_width(GTK_CONTAINER(window_), 18);
        gtk_style_context_add_provider_for_screen(gtk_widget_get_screen(window_), GTK_STYLE_PROVIDER(failedStyle_),
                                                  GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);

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
        gtk_box_pack_start(GTK_BOX(box), makeDetails(), FALSE, FALSE, 0);

        // A proxy's user name and password, shown only while the run asks for them.
        login_ = gtk_grid_new();
        gtk_grid_set_row_spacing(GTK_GRID(login_), 6);
        gtk_grid_set_column_spacing(GTK_GRID(login_), 12);
        gtk_widget_set_no_show_all(login_, TRUE);
        user_ = loginField(language_.tr("User name: "), 0);
        password_ = loginField(language_.tr("Password: "), 1);
        gtk_entry_set_visibility(GTK_ENTRY(password_), FALSE);
        gtk_entry_set_input_purpose(GTK_ENTRY(password_), GTK_INPUT_PURPOSE_PASSWORD);
        gtk_box_pack_start(GTK_BOX(box), login_, FALSE, FALSE, 0);

        GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
        gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
        gtk_box_set_spacing(GTK_BOX(buttons), 6);
        gtk_widget_set_margin_top(buttons, 6);
        button_ = gtk_button_new_with_label(language_.tr("Cancel"));
        gtk_widget_set_can_default(button_, TRUE);
        gtk_container_add(GTK_CONTAINER(buttons), button_);
        // Beside "Close" after a failure another attempt may mend; the default then.
        again_ = gtk_button_new_with_label(tryAgainText(language_).c_str());
        gtk_widget_set_can_default(again_, TRUE);
        gtk_widget_set_no_show_all(again_, TRUE);
        gtk_container_add(GTK_CONTAINER(buttons), again_);
        ok_ = gtk_button_new_with_label(language_.tr("OK"));
        gtk_widget_set_can_default(ok_, TRUE);
        gtk_widget_set_no_show_all(ok_, TRUE);
        gtk_container_add(GTK_CONTAINER(buttons), ok_);
        gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);
        gtk_window_set_default(GTK_WINDOW(window_), button_);

        // What a screen reader says: the splash as the product's picture, the state as a status
        // bar, the bar by name, with the line under it as its description.
        AtkObject* splash = gtk_widget_get_accessible(image_);
        atk_object_set_role(splash, ATK_ROLE_IMAGE);
        atk_object_set_name(splash, setup.title.c_str());
        atk_object_set_role(gtk_widget_get_accessible(label_), ATK_ROLE_STATUSBAR);
        atk_object_set_name(gtk_widget_get_accessible(bar_), language_.tr("Download progress"));
        // The details' lines go by the expander's words, without its mnemonic.
        atk_object_set_name(gtk_widget_get_accessible(detailsView_),
                            gtk_label_get_text(GTK_LABEL(gtk_expander_get_label_widget(GTK_EXPANDER(expander_)))));
        // ATK 2.46 and later carry an announcement to a screen reader; 0 before.
        announcement_ = g_signal_lookup("announcement", ATK_TYPE_OBJECT);

        g_signal_connect(button_, "clicked", G_CALLBACK(onClicked), this);
        g_signal_connect(ok_, "clicked", G_CALLBACK(onLogin), this);
        g_signal_connect(again_, "clicked", G_CALLBACK(onTryAgain), this);
        g_signal_connect(copy_, "clicked", G_CALLBACK(onCopy), this);
        g_signal_connect(window_, "delete-event", G_CALLBACK(onDelete), this);
        g_signal_connect(window_, "key-press-event", G_CALLBACK(onKey), this);
        gtk_widget_show_all(window_);
        gtk_widget_grab_focus(button_);
        note("button", gtk_button_get_label(GTK_BUTTON(button_)));
        if (!setup.splash.empty()) showSplash(setup.splash, setup.splash2x);
        loop_.runAfter(0, [this] { delegate_.onWindowOpen(); });
    }

    ~GtkDownloadWindow() override { destroyWidgets(); }

    MainLoop& mainLoop() override { return loop_; }

    void show(const RunSnapshot& snapshot) override {
        if (window_ == nullptr) return;
        if (snapshot.stage == Stage::WaitingForOther) standAside();
        const bool finished = snapshot.transfer.finished() && !meter_.finished();
        meter_ = snapshot.transfer;
        stage_ = snapshot.stage;
        retry_ = snapshot.retry;
        showBar();
        // A new attempt's transfer, not begun yet, says nothing of the last one's.
        const bool idle = !meter_.receiving() && !meter_.finished();
        if (finished || idle || snapshot.stage == Stage::Failed || (meter_.receiving() && progressSource_ == 0)) {
            showProgressLine();
            if (progressSource_ == 0 && meter_.receiving() && !meter_.finished() && !meter_.stopped())
                progressSource_ = g_timeout_add(kProgressLineMs, onProgressTick, this);
        }
        showDetails(snapshot);  // before the buttons, so that whoever sees Try again finds them
        showButton(snapshot);
        showStatus(snapshot);
        showLogin(snapshot.stage == Stage::ProxyLogin);
        if (snapshot.stage == Stage::Retrying && retrySource_ == 0) {
            retrySource_ = g_timeout_add(kRetryTickMs, onRetryTick, this);
        }
        if (snapshot.stage == Stage::Ready) {
            // A person reads that the server could not be reached before the window goes.
            if (snapshot.offlineSince.empty()) {
                close();
            } else {
                loop_.runAfter(kOfflineNoticeSeconds, [this] { close(); });
            }
        }
    }

    void close() override {
        if (closed_) return;
        closed_ = true;
        delegate_.onWindowClose();
        destroyWidgets();
    }

    bool canAskProxyLogin() const override { return true; }

private:
    // With BI_WINDOW_TRANSCRIPT set, what the window shows is also written to that file, a line
    // each ("status: ..."), so that a test run as a process can read the window.
    void note(const char* what, const char* shown) const {
        if (transcript_.empty()) return;
        if (std::FILE* file = std::fopen(transcript_.c_str(), "a")) {
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

    // A row of the login's grid: its label, named for a screen reader by the words without their
    // colon, and the entry, which Return answers with OK.
    GtkWidget* loginField(const char* words, int row) {
        std::string name = words;
        while (!name.empty() && (name.back() == ' ' || name.back() == ':')) name.pop_back();
        if (name.ends_with("\uFF1A")) name.resize(name.size() - std::string_view("\uFF1A").size());
        GtkWidget* label = gtk_label_new(name.c_str());
        gtk_label_set_xalign(GTK_LABEL(label), 0);
        GtkWidget* entry = gtk_entry_new();
        gtk_widget_set_hexpand(entry, TRUE);
        gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
        gtk_label_set_mnemonic_widget(GTK_LABEL(label), entry);
        atk_object_set_name(gtk_widget_get_accessible(entry), name.c_str());
        gtk_grid_attach(GTK_GRID(login_), label, 0, row, 1, 1);
        gtk_grid_attach(GTK_GRID(login_), entry, 1, row, 1, 1);
        // Shown with the grid, which the window's show_all leaves hidden.
        gtk_widget_show(label);
        gtk_widget_show(entry);
        return entry;
    }

    // The entries while a proxy's question is asked, OK the default; empty and hidden otherwise.
    void showLogin(bool asked) {
        if (login_ == nullptr || asked == gtk_widget_get_visible(login_)) return;
        gtk_entry_set_text(GTK_ENTRY(user_), "");
        gtk_entry_set_text(GTK_ENTRY(password_), "");
        if (asked) {
            gtk_widget_show(login_);
            gtk_widget_show(ok_);
            gtk_window_set_default(GTK_WINDOW(window_), ok_);
            gtk_widget_grab_focus(user_);
        } else {
            gtk_widget_hide(login_);
            gtk_widget_hide(ok_);
            gtk_window_set_default(GTK_WINDOW(window_), button_);
        }
        note("login", asked ? "asked" : "hidden");
    }

    // OK: the answer goes to the run; the entries keep nothing of it. An empty user name is
    // no answer.
    static void onLogin(GtkButton*, gpointer data) {
        auto* self = static_cast<GtkDownloadWindow*>(data);
        if (self->user_ == nullptr || *gtk_entry_get_text(GTK_ENTRY(self->user_)) == '\0') return;
        ProxyLogin login{gtk_entry_get_text(GTK_ENTRY(self->user_)), gtk_entry_get_text(GTK_ENTRY(self->password_))};
        self->showLogin(false);
        self->delegate_.onProxyLogin(std::move(login));
    }

    // The window stays; what follows is the new run's to show.
    static void onTryAgain(GtkButton*, gpointer data) {
        auto* self = static_cast<GtkDownloadWindow*>(data);
        if (self->closed_) return;
        self->delegate_.onTryAgain();
    }

    // The details, for a message to the vendor's support; kept by a clipboard manager when the
    // installer has ended.
    static void onCopy(GtkButton*, gpointer data) {
        auto* self = static_cast<GtkDownloadWindow*>(data);
        GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
        gtk_clipboard_set_text(clipboard, self->details_.c_str(), -1);
        gtk_clipboard_set_can_store(clipboard, nullptr, 0);
        self->copied_ = true;
    }

    // The expander under a failure: the run's technical lines, selectable, and "Copy".
    GtkWidget* makeDetails() {
        expander_ = gtk_expander_new_with_mnemonic(detailsTitle(language_).c_str());
        gtk_widget_set_no_show_all(expander_, TRUE);
        GtkWidget* inside = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
        gtk_widget_set_margin_top(inside, 6);
        detailsView_ = gtk_text_view_new();
        gtk_text_view_set_editable(GTK_TEXT_VIEW(detailsView_), FALSE);
        gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(detailsView_), FALSE);
        gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(detailsView_), GTK_WRAP_WORD_CHAR);
        gtk_text_view_set_monospace(GTK_TEXT_VIEW(detailsView_), TRUE);
        GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
        gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
        gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scrolled), GTK_SHADOW_IN);
        gtk_widget_set_size_request(scrolled, -1, kDetailsHeight);
        gtk_container_add(GTK_CONTAINER(scrolled), detailsView_);
        gtk_box_pack_start(GTK_BOX(inside), scrolled, TRUE, TRUE, 0);
        copy_ = gtk_button_new_with_mnemonic(copyTitle(language_).c_str());
        gtk_widget_set_halign(copy_, GTK_ALIGN_END);
        gtk_box_pack_start(GTK_BOX(inside), copy_, FALSE, FALSE, 0);
        gtk_widget_show_all(inside);
        gtk_widget_hide(inside);
        gtk_container_add(GTK_CONTAINER(expander_), inside);
        g_signal_connect(expander_, "notify::expanded", G_CALLBACK(onExpanded), nullptr);
        return expander_;
    }

    // A closed expander's lines and Copy would still take the focus by Tab, unseen: they are
    // hidden while it is closed.
    static void onExpanded(GtkExpander* expander, GParamSpec*, gpointer) {
        gtk_widget_set_visible(gtk_bin_get_child(GTK_BIN(expander)), gtk_expander_get_expanded(expander));
    }

    void showDetails(const RunSnapshot& snapshot) {
        if (expander_ == nullptr) return;
        const std::string text = snapshot.stage == Stage::Failed ? detailsText(snapshot, language_) : "";
        if (text == details_) return;
        details_ = text;
        gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(detailsView_)), text.c_str(), -1);
        gtk_expander_set_expanded(GTK_EXPANDER(expander_), FALSE);
        gtk_widget_set_visible(expander_, !text.empty());
        if (!text.empty()) note("details", text.c_str());
    }

    // Another installer's window stands where this one opened: this one moves off it, so that
    // both can be seen.
    void standAside() {
        if (asideDone_) return;
        asideDone_ = true;
        int x = 0, y = 0;
        gtk_window_get_position(GTK_WINDOW(window_), &x, &y);
        gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_NONE);
        gtk_window_move(GTK_WINDOW(window_), x + kAside, y + kAside);
    }

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
        // The transcript gets the line whenever it says something of another kind (a speed, a
        // stall, a failure, the summary), not every time a number changes.
        std::string kind = line;
        kind.erase(std::remove_if(kind.begin(), kind.end(), [](char c) { return c >= '0' && c <= '9'; }), kind.end());
        if (kind != lineKind_) note("progress", gtk_label_get_text(GTK_LABEL(progressLine_)));
        lineKind_ = kind;
    }

    // The bar: what arrived of a known length; a bar without extent that moves while the length
    // is unknown and while the agent is unpacked; full and still after a failure, which says
    // nothing completed (the line under it says what arrived).
    void showBar() {
        if (bar_ == nullptr) return;
        const bool failed = stage_ == Stage::Failed;
        const bool moving = !failed && (stage_ == Stage::Extracting || (meter_.receiving() && meter_.indeterminate()));
        if (moving && pulseSource_ == 0) {
            gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar_));
            pulseSource_ = g_timeout_add(static_cast<guint>(kPulseSeconds * 1000), onPulse, this);
        } else if (!moving && pulseSource_ != 0) {
            g_source_remove(pulseSource_);
            pulseSource_ = 0;
        }
        if (!moving) gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), failed ? 1.0 : meter_.fraction());
        // A full bar reads as success: a failed one wears the failure's colour.
        GtkStyleContext* style = gtk_widget_get_style_context(bar_);
        if (failed && !gtk_style_context_has_class(style, kFailedClass)) {
            const std::string css = "progressbar." + std::string(kFailedClass) +
                                    " progress { background-image: none; background-color: " + failureColour() +
                                    "; border-color: " + failureColour() + "; }";
            gtk_css_provider_load_from_data(failedStyle_, css.c_str(), -1, nullptr);
            gtk_style_context_add_class(style, kFailedClass);
        } else if (!failed) {
            gtk_style_context_remove_class(style, kFailedClass);
        }
    }

    void showButton(const RunSnapshot& snapshot) {
        if (button_ == nullptr) return;
        const bool retry = snapshot.stage == Stage::Failed && snapshot.mayRetry;
        const std::string title = buttonText(snapshot, language_);
        if (title == gtk_button_get_label(GTK_BUTTON(button_)) && retry == gtk_widget_get_visible(again_)) return;
        gtk_button_set_label(GTK_BUTTON(button_), title.c_str());
        note("button", gtk_button_get_label(GTK_BUTTON(button_)));
        gtk_widget_set_visible(again_, retry);
        if (retry) note("button", gtk_button_get_label(GTK_BUTTON(again_)));
        // Return presses the default, whatever had the focus.
        GtkWidget* preferred = retry ? again_ : button_;
        gtk_window_set_default(GTK_WINDOW(window_), preferred);
        gtk_widget_set_sensitive(button_, TRUE);
        gtk_widget_grab_focus(preferred);
    }

    // The status text; a failure in the theme's error colour and in whole, wrapped if need be,
    // and said on standard error too, for whoever reads it there. A failure, a retry and a move
    // to another server are announced to a screen reader as they happen.
    void showStatus(const RunSnapshot& snapshot) {
        const std::string text = statusText(snapshot, Clock::now(), language_);
        const bool failed = snapshot.stage == Stage::Failed;
        if (label_ == nullptr || text.empty() || (text == status_ && failed == failedShown_)) return;
        status_ = text;
        failedShown_ = failed;
        const std::string news = failed                              ? "failed"
                                 : snapshot.stage == Stage::Retrying ? "retry " + std::to_string(snapshot.retry.attempt)
                                 : snapshot.stage == Stage::MovingOn ? "server " + std::to_string(snapshot.server)
                                                                     : "";
        const bool announce = !news.empty() && news != announced_;
        announced_ = news;
        if (failed) {
            char* markup =
                g_markup_printf_escaped("<span foreground=\"%s\">%s</span>", failureColour().c_str(), text.c_str());
            gtk_label_set_markup(GTK_LABEL(label_), markup);
            g_free(markup);
            const std::string line = text + "\n";
            for (size_t at = 0; at < line.size();) {
                const ssize_t n = ::write(STDERR_FILENO, line.data() + at, line.size() - at);
                if (n <= 0) break;
                at += static_cast<size_t>(n);
            }
        } else {
            gtk_label_set_text(GTK_LABEL(label_), text.c_str());
        }
        gtk_widget_queue_draw(window_);
        note("status", gtk_label_get_text(GTK_LABEL(label_)));
        AtkObject* status = gtk_widget_get_accessible(label_);
        if (announcement_ == 0) {
            // Without announcements a screen reader that follows the window hears the status's
            // name and description change.
            atk_object_set_name(status, text.c_str());
            atk_object_set_description(status, announce ? text.c_str() : "");
        } else if (announce) {
            g_signal_emit(status, announcement_, 0, text.c_str());
        }
    }

    // The theme's error colour, lightened or darkened until it can be read on the window's
    // background, as "#rrggbb".
    std::string failureColour() const {
        GtkStyleContext* style = gtk_widget_get_style_context(window_);
        GdkRGBA error = kErrorColour, background{1, 1, 1, 1};
        gtk_style_context_lookup_color(style, "error_color", &error);
        GdkRGBA* painted = nullptr;
        gtk_style_context_get(style, gtk_style_context_get_state(style), GTK_STYLE_PROPERTY_BACKGROUND_COLOR, &painted,
                              nullptr);
        if (painted != nullptr && painted->alpha > 0) {
            background = *painted;
        } else {
            gtk_style_context_lookup_color(style, "theme_bg_color", &background);
        }
        if (painted != nullptr) gdk_rgba_free(painted);
        const Rgb readable =
            readableOn({error.red, error.green, error.blue}, {background.red, background.green, background.blue});
        char hex[8];
        std::snprintf(hex, sizeof hex, "#%02x%02x%02x", static_cast<unsigned>(std::lround(readable.r * 255)),
                      static_cast<unsigned>(std::lround(readable.g * 255)),
                      static_cast<unsigned>(std::lround(readable.b * 255)));
        return hex;
    }

    // The splash, scaled into the column and read at the screen's scale, so that it is drawn
    // sharp on a high-density screen: there from the image of twice the pixels when the bundle
    // has one. A file that cannot be read as an image leaves none.
    void showSplash(const std::string& path, const std::string& path2x) {
        const int scale = gtk_widget_get_scale_factor(window_);
        GdkPixbuf* pixbuf = nullptr;
        for (const std::string& file : {scale >= 2 ? path2x : std::string(), path}) {
            if (pixbuf == nullptr && !file.empty())
                pixbuf = gdk_pixbuf_new_from_file_at_scale(file.c_str(), kContentWidth * scale, kContentWidth * scale,
                                                           TRUE, nullptr);
        }
        if (pixbuf == nullptr) return;
        cairo_surface_t* surface = gdk_cairo_surface_create_from_pixbuf(pixbuf, scale, gtk_widget_get_window(window_));
        g_object_unref(pixbuf);
        gtk_image_set_from_surface(GTK_IMAGE(image_), surface);
        cairo_surface_destroy(surface);
        gtk_widget_show(image_);
    }

    static gboolean onRetryTick(gpointer data) {
        auto* self = static_cast<GtkDownloadWindow*>(data);
        if (self->stage_ != Stage::Retrying || self->label_ == nullptr) {
            self->retrySource_ = 0;
            return G_SOURCE_REMOVE;
        }
        RunSnapshot counting;
        counting.stage = Stage::Retrying;
        counting.retry = self->retry_;
        self->showStatus(counting);
        return G_SOURCE_CONTINUE;
    }

    void destroyWidgets() {
        if (window_ == nullptr) return;
        gtk_style_context_remove_provider_for_screen(gtk_widget_get_screen(window_), GTK_STYLE_PROVIDER(failedStyle_));
        g_object_unref(failedStyle_);
        bar_ = label_ = progressLine_ = button_ = again_ = copy_ = expander_ = detailsView_ = image_ = login_ = user_ =
            password_ = ok_ = nullptr;
        // What was copied outlives the window where a clipboard manager takes it.
        if (copied_) gtk_clipboard_store(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
        for (guint* source : {&pulseSource_, &progressSource_, &retrySource_}) {
            if (*source != 0) g_source_remove(*source);
            *source = 0;
        }
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
    GtkWidget* login_ = nullptr;
    GtkWidget* user_ = nullptr;
    GtkWidget* password_ = nullptr;
    GtkWidget* ok_ = nullptr;
    GtkWidget* again_ = nullptr;
    GtkWidget* expander_ = nullptr;
    GtkWidget* detailsView_ = nullptr;
    GtkWidget* copy_ = nullptr;
    guint pulseSource_ = 0;
    guint progressSource_ = 0;
    guint retrySource_ = 0;
    guint announcement_ = 0;
    GtkCssProvider* failedStyle_ = gtk_css_provider_new();
    TransferMeter meter_;
    Stage stage_ = Stage::Downloading;
    RetryWait retry_;
    std::string status_;
    bool failedShown_ = false;
    std::string announced_;  // what the last announcement was of: "failed", "retry 2", "server 3"
    bool closed_ = false;
    bool asideDone_ = false;
    bool copied_ = false;
    std::string details_;
    std::string lineKind_;
    const std::string transcript_;
};

}  // namespace
}  // namespace bi::ui

static_assert(std::string_view(bi::ui::kGtkPluginFactory) == "bi_gtk_open_window_v5");

extern "C" __attribute__((visibility("default"))) bi::ui::Window* bi_gtk_open_window_v5(
    bi::ui::WindowDelegate* delegate, const bi::ui::WindowSetup* setup, const bi::ui::Language* language) {
    if (delegate == nullptr || setup == nullptr || language == nullptr) return nullptr;
    // The window needs no OpenGL, and Mesa's start-up would cost tens of megabytes.
    ::setenv("GDK_GL", "disable", 0);
    // GTK would set the process's locale from the environment, and with it the language of
    // system error texts and the format of numbers in the log lines. The window's texts come
    // in the user's language all the same, through `language`. (Asked once: a second window
    // finds GTK initialised.)
    if (gdk_display_get_default() == nullptr) gtk_disable_setlocale();
    if (!gtk_init_check(nullptr, nullptr)) return nullptr;
    return new bi::ui::GtkDownloadWindow(*delegate, *setup, *language);
}
