// The console window. On a terminal the status text and the progress share one line of
// standard error, redrawn in place at most ten times a second and fitted to the terminal's
// width; a failure is written in red below it, wrapped so that all of it can be read. On a pipe
// or a file it writes plain lines: the status text when it changes, the progress at most once
// per tenth of the archive and never more than once every two seconds, and a summary when the
// download has finished, so a log never fills with progress.
#include "ui/console_window.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <vector>

#include "platform/signal_watch.h"
#include "platform/system_log.h"
#include "ui/i18n.h"
#include "ui/progress_text.h"
#include "ui/terminal_line.h"

namespace bi::ui {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr auto kPlainLineInterval = std::chrono::seconds(2);
constexpr auto kPlainLineIntervalUnknownLength = std::chrono::seconds(5);
constexpr const char* kRed = "\033[31m";
constexpr const char* kPlain = "\033[0m";
constexpr const char* kSeparator = "  ";

class ConsoleWindow final : public Window {
public:
    explicit ConsoleWindow(WindowDelegate& delegate)
        : delegate_(delegate), loop_(makeConsoleMainLoop()), language_(userLanguage()) {
        if (::isatty(STDERR_FILENO) == 1) terminal_ = std::make_unique<TerminalLine>();
        signals_ = std::make_unique<platform::SignalWatch>([this] { loop_->runAfter(0, [this] { close(); }); });
        loop_->runAfter(0, [this] { delegate_.onWindowOpen(); });
    }

    ~ConsoleWindow() override {
        signals_.reset();  // its thread posts to the loop, so it goes first
        endLine();
        terminal_.reset();
    }

    MainLoop& mainLoop() override { return *loop_; }

    void setProgressValue(double value) override { meter_.setValue(value); }
    double progressMaxValue() const override { return max_; }
    void setProgressMaxValue(double max) override {
        max_ = max;
        meter_.setMaximum(max);
    }
    void advanceProgress(double delta) override {
        if (closed_) return;
        const auto now = Clock::now();
        if (!meter_.receiving()) {  // a transfer begins, perhaps again
            plainFrom_ = now;
            tenthShown_ = 0;
        }
        meter_.add(delta, now);
        if (terminal_) {
            drawSoon();
        } else {
            writePlainProgress(now);
        }
    }
    void setProgressIndeterminate(bool indeterminate) override { meter_.setIndeterminate(indeterminate); }
    // Nothing moves on its own on a console.
    void startProgressAnimation() override {}
    void stopProgressAnimation() override {}

    void setStatusText(const std::string& text, TextColor color) override {
        std::string status = text;
        std::replace(status.begin(), status.end(), '\n', ' ');
        if (closed_ || (status == status_ && color == color_)) return;
        if (color == TextColor::Red) {
            showFailure(status);
        } else if (terminal_) {
            status_ = status;
            draw();
        } else {
            platform::writeAll(STDERR_FILENO, status + "\n");
        }
        status_ = status;
        color_ = color;
    }

    void downloadFinished() override {
        if (closed_ || meter_.finished()) return;
        meter_.finish(Clock::now());
        const std::string summary = summaryText(meter_, SizeUnits::Binary, language_);
        if (!terminal_) {
            platform::writeAll(STDERR_FILENO, summary + "\n");
            return;
        }
        terminal_->show("");
        terminal_->print(summary + "\n");
        loop_->runAfter(1.0, [this] { tickElapsed(); });
    }

    void setButtonTitle(const std::string&) override {}
    void setButtonEnabled(bool) override {}
    void setSplashImage(const std::string&, int, int) override {}
    void refresh() override {}

    void close() override {
        if (closed_) return;
        endLine();
        closed_ = true;
        delegate_.onWindowClose();
    }

    bool waitsForUserAfterFailure() const override { return false; }

private:
    // A line at each tenth of a known length, for an unknown one now and then, and never
    // two within a short while.
    void writePlainProgress(Clock::time_point now) {
        bool due = false;
        if (meter_.total() > 0) {
            const int tenth =
                static_cast<int>(std::clamp(std::floor(10 * meter_.received() / meter_.total()), 0.0, 10.0));
            due = tenth > tenthShown_ && now - lastPlainLine_ >= kPlainLineInterval;
            if (due) tenthShown_ = tenth;
        } else {
            due = now - std::max(lastPlainLine_, plainFrom_) >= kPlainLineIntervalUnknownLength;
        }
        if (!due) return;
        lastPlainLine_ = now;
        const ConsoleProgress p = consoleProgress(meter_, now, language_);
        std::string line;
        for (const std::string* piece : {&p.percent, &p.amount, &p.speed, &p.left}) {
            if (piece->empty()) continue;
            if (!line.empty()) line += kSeparator;
            line += *piece;
        }
        platform::writeAll(STDERR_FILENO, line + "\n");
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
                draw();
            });
        }
    }

    void draw() {
        if (closed_ || !terminal_ || color_ == TextColor::Red) return;
        const auto now = Clock::now();
        terminal_->show(
            consoleLine(status_, meter_, now, language_, static_cast<size_t>(std::max(1, terminal_->columns() - 1))));
        lastDraw_ = now;
    }

    // The elapsed time of what follows the download, once a second.
    void tickElapsed() {
        if (closed_ || color_ == TextColor::Red) return;
        draw();
        loop_->runAfter(1.0, [this] { tickElapsed(); });
    }

    // Progress stays on the screen as it last was, without its speed; the failure follows
    // in red, in whole.
    void showFailure(const std::string& message) {
        meter_.stop();
        if (!terminal_) {
            platform::writeAll(STDERR_FILENO, message + "\n");
            return;
        }
        if (meter_.receiving() || meter_.finished()) {
            draw();
            terminal_->end();
        } else {
            terminal_->show("");
        }
        std::string lines;
        for (const std::string& line : wrapText(message, static_cast<size_t>(std::max(1, terminal_->columns() - 1)))) {
            lines += kRed + line + kPlain + "\n";
        }
        terminal_->print(lines);
    }

    // What arrived stays on the screen, without a speed or time left that no longer hold; a
    // mere status ("Downloading" before a 304) gives way, so that what runs next starts clean.
    void endLine() {
        if (!terminal_ || closed_) return;
        if (!meter_.finished()) meter_.stop();
        if (color_ == TextColor::Red || meter_.receiving() || meter_.finished()) {
            draw();
            terminal_->end();
        } else {
            terminal_->show("");
        }
    }

    WindowDelegate& delegate_;
    std::unique_ptr<MainLoop> loop_;
    std::unique_ptr<platform::SignalWatch> signals_;
    std::unique_ptr<TerminalLine> terminal_;  // null on a pipe or a file
    const Language& language_;

    TransferMeter meter_;
    double max_ = 0;
    std::string status_;
    TextColor color_ = TextColor::Normal;
    bool closed_ = false;

    bool drawPending_ = false;
    Clock::time_point lastDraw_{};

    int tenthShown_ = 0;
    Clock::time_point plainFrom_{};
    Clock::time_point lastPlainLine_{};
};

}  // namespace

std::unique_ptr<Window> makeConsoleWindow(WindowDelegate& delegate) {
    return std::make_unique<ConsoleWindow>(delegate);
}

}  // namespace bi::ui
