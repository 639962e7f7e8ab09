// The console window. On a terminal the status text and a progress bar share one line of
// standard error, redrawn in place at most ten times a second. On a pipe or a file it writes
// plain lines only when the status text changes and at each quarter of the progress, so a
// log never fills with progress.
#include "platform/console_window.h"

#include "platform/signal_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <thread>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr auto kPlainLineInterval = std::chrono::seconds(5);  // progress of unknown length
constexpr int kBarWidth = 20;

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

std::string humanBytes(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return buf;
}

int terminalColumns() {
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) return ws.ws_col;
    return 80;
}

// Cuts text to at most `bytes` bytes without splitting a UTF-8 sequence.
std::string cutUtf8(const std::string& text, size_t bytes) {
    if (text.size() <= bytes) return text;
    while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
    return text.substr(0, bytes);
}

class ConsoleWindow final : public Window {
public:
    explicit ConsoleWindow(WindowDelegate& delegate)
        : delegate_(delegate), loop_(makeConsoleMainLoop()), terminal_(::isatty(STDERR_FILENO) == 1) {
        signals_ = std::make_unique<SignalWatch>([this] { loop_->runAfter(0, [this] { close(); }); });
        loop_->runAfter(0, [this] { delegate_.applicationDidFinishLaunching(); });
    }

    ~ConsoleWindow() override {
        signals_.reset();  // its thread posts to the loop, so it goes first
        endLine();
    }

    MainLoop& mainLoop() override { return *loop_; }

    void setProgressValue(double value) override {
        value_ = value;
        rateStart_ = Clock::now();
        rateStartValue_ = value;
        progressChanged();
    }
    double progressMaxValue() const override { return max_; }
    void setProgressMaxValue(double max) override {
        max_ = max;
        progressChanged();
    }
    void incrementProgressBy(double delta) override {
        value_ += delta;
        received_ = true;
        progressChanged();
    }
    void setProgressIndeterminate(bool indeterminate) override {
        indeterminate_ = indeterminate;
        progressChanged();
    }
    // Nothing moves on its own on a console; the bar changes with the progress.
    void startProgressAnimation() override {}
    void stopProgressAnimation() override {}

    void setStatusText(const std::string& text, TextColor color) override {
        std::string line = text;
        std::replace(line.begin(), line.end(), '\n', ' ');
        if (closed_ || (line == status_ && color == color_)) return;
        status_ = line;
        color_ = color;
        if (terminal_) {
            draw();
        } else {
            writeAll(STDERR_FILENO, status_ + "\n");
        }
    }

    void setButtonTitle(const std::string&) override {}
    void setButtonEnabled(bool) override {}
    void setSplashImage(const std::string&, int, int) override {}

    void refresh() override {
        if (terminal_ && dirty_) drawSoon();
    }

    void close() override {
        if (closed_) return;
        endLine();
        closed_ = true;
        delegate_.windowWillClose();
    }

    bool waitsForUserAfterFailure() const override { return false; }

private:
    bool determinate() const { return !indeterminate_ && max_ > 0; }

    void progressChanged() {
        // Until bytes arrive there is nothing to count: a bar set full by a failure that came
        // first would claim a download that never happened.
        if (closed_ || !received_) return;
        if (terminal_) {
            dirty_ = true;
            drawSoon();
        } else {
            writePlainProgress();
        }
    }

    // A line at each quarter of a known length; for an unknown length one now and then.
    void writePlainProgress() {
        const auto now = Clock::now();
        if (determinate()) {
            const int quarter = std::clamp(static_cast<int>(std::floor(4 * value_ / max_)), 0, 4);
            if (quarter > quarterShown_) writeAll(STDERR_FILENO, progressText() + "\n");
            quarterShown_ = quarter;
        } else if (value_ > 0 && (!plainShown_ || now - lastPlainLine_ >= kPlainLineInterval)) {
            writeAll(STDERR_FILENO, progressText() + "\n");
            plainShown_ = true;
            lastPlainLine_ = now;
        }
    }

    std::string progressText() const {
        std::string text;
        if (determinate()) {
            const double fraction = std::clamp(value_ / max_, 0.0, 1.0);
            char percent[8];
            std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
            text = percent;
            text += "  " + humanBytes(value_) + " of " + humanBytes(max_);
        } else {
            text = humanBytes(value_);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - rateStart_).count();
        if (seconds >= 0.5 && value_ > rateStartValue_) {
            text += "  " + humanBytes((value_ - rateStartValue_) / seconds) + "/s";
        }
        return text;
    }

    std::string bar() const {
        const double fraction = std::clamp(value_ / max_, 0.0, 1.0);
        const int filled = static_cast<int>(fraction * kBarWidth);
        return "[" + std::string(static_cast<size_t>(filled), '#') +
               std::string(static_cast<size_t>(kBarWidth - filled), '-') + "]";
    }

    // Draws now, or once the redraw interval since the last drawing has passed.
    void drawSoon() {
        const auto wait = lastDraw_ + kRedrawInterval - Clock::now();
        if (wait <= Clock::duration::zero()) {
            draw();
        } else if (!drawPending_) {
            drawPending_ = true;
            loop_->runAfter(std::chrono::duration<double>(wait).count(), [this] {
                drawPending_ = false;
                if (dirty_) draw();
            });
        }
    }

    void draw() {
        if (closed_) return;
        std::string progress;
        if (received_) {
            progress = determinate() ? bar() + " " + progressText() : progressText();
        }
        const std::string separator = status_.empty() || progress.empty() ? "" : "  ";
        const size_t width = static_cast<size_t>(terminalColumns() - 1);
        const std::string visible = cutUtf8(status_ + separator + progress, width);
        if (visible.empty() && !lineOpen_) return;  // nothing to show yet
        std::string line = "\r\033[K";
        if (color_ == TextColor::Red) {
            const size_t statusBytes = std::min(status_.size(), visible.size());
            line += "\033[31m" + visible.substr(0, statusBytes) + "\033[0m" + visible.substr(statusBytes);
        } else {
            line += visible;
        }
        writeAll(STDERR_FILENO, line);
        lineOpen_ = true;
        dirty_ = false;
        lastDraw_ = Clock::now();
    }

    // Leaves the cursor on a fresh line, the last state drawn.
    void endLine() {
        if (!terminal_ || closed_) return;
        if (dirty_) draw();
        if (lineOpen_) writeAll(STDERR_FILENO, "\n");
        lineOpen_ = false;
    }

    WindowDelegate& delegate_;
    std::unique_ptr<MainLoop> loop_;
    std::unique_ptr<SignalWatch> signals_;
    const bool terminal_;

    double value_ = 0;
    double max_ = 0;
    bool indeterminate_ = false;
    std::string status_;
    TextColor color_ = TextColor::Normal;
    bool closed_ = false;

    Clock::time_point rateStart_ = Clock::now();
    double rateStartValue_ = 0;

    bool dirty_ = false;
    bool lineOpen_ = false;
    bool drawPending_ = false;
    Clock::time_point lastDraw_{};

    bool received_ = false;
    int quarterShown_ = 0;
    bool plainShown_ = false;
    Clock::time_point lastPlainLine_{};
};

}  // namespace

std::unique_ptr<Window> makeConsoleWindow(WindowDelegate& delegate) {
    return std::make_unique<ConsoleWindow>(delegate);
}

}  // namespace platform
