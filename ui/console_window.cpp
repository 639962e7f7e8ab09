// The console window. On a terminal the status text and the progress share one line of
// standard error, redrawn in place at most ten times a second and fitted to the terminal's
// width; a failure is written in red below it, wrapped so that all of it can be read. On a pipe
// or a file it writes plain lines: the status text when it changes, the progress at most once
// per tenth of the archive and never more than once every two seconds, and a summary when the
// download has finished, so a log never fills with progress. Nobody can read a failure and
// close a console: it closes itself once it has said one, and when the run is ready; it
// offers no other attempt, but says when the next run continues what this one downloaded. A
// proxy's question for a user name and password is asked on the terminal, off the main thread,
// so that Ctrl-C still closes the window meanwhile. It follows the terminal's conventions:
// NO_COLOR takes the colour away, TERM=dumb the redrawing too.
#include "ui/console_window.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/signal_watch.h"
#include "platform/system_log.h"
#include "ui/i18n.h"
#include "ui/progress_text.h"
#include "ui/proxy_question.h"
#include "ui/terminal_line.h"
#include "ui/words.h"

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
    ConsoleWindow(WindowDelegate& delegate, const WindowSettings& settings)
        : delegate_(delegate),
          loop_(makeConsoleMainLoop(settings.loopStats)),
          language_(userLanguage()),
          colour_(!settings.noColour) {
        if (::isatty(STDERR_FILENO) == 1 && !settings.dumbTerminal) terminal_ = std::make_unique<TerminalLine>();
        signals_ = std::make_unique<platform::SignalWatch>([this] { loop_->runAfter(0, [this] { close(); }); });
        loop_->runAfter(0, [this] { delegate_.onWindowOpen(); });
    }

    ~ConsoleWindow() override {
        signals_.reset();  // its thread posts to the loop, so it goes first
        stopQuestion();
        endLine();
        terminal_.reset();
    }

    MainLoop& mainLoop() override { return *loop_; }

    // In the order a person reads it: the status, what arrived, then what follows the download
    // (its summary, the extraction) or its failure.
    void show(const RunSnapshot& snapshot) override {
        if (closed_) return;
        if (snapshot.stage == Stage::ProxyLogin) return ask(snapshot.proxyLogin);
        const auto now = Clock::now();
        const bool after = snapshot.stage == Stage::Extracting || snapshot.stage == Stage::Failed;
        keepsPartial_ = snapshot.keepsPartial;
        if (!after) showStatus(snapshot, now);
        showTransfer(snapshot.transfer, now);
        if (snapshot.stage == Stage::Failed) {
            showFailure(statusText(snapshot, now, language_));
            if (keepsPartial_) platform::writeAll(STDERR_FILENO, nextRunText(language_) + "\n");
            close();
            return;
        }
        if (after) showStatus(snapshot, now);
        if (snapshot.stage == Stage::Ready) {
            ready_ = true;
            close();
        }
    }

    void close() override {
        if (closed_) return;
        stopQuestion();
        endLine();
        closed_ = true;
        delegate_.onWindowClose();
        // Given up (Ctrl-C, SIGTERM, SIGHUP): after the run has said so, what it leaves.
        if (!failed_ && !ready_ && keepsPartial_) platform::writeAll(STDERR_FILENO, nextRunText(language_) + "\n");
    }

    bool canAskProxyLogin() const override { return canAskOnTerminal(); }

private:
    // The question takes the terminal's line until its answer has come back on the loop.
    void ask(const ProxyQuestion& question) {
        stopQuestion();
        if (terminal_) terminal_->show("");
        status_.clear();
        if (::pipe2(stopQuestion_, O_CLOEXEC) != 0) stopQuestion_[0] = stopQuestion_[1] = -1;
        asking_ = true;
        asker_ = std::thread([this, question, stopFd = stopQuestion_[0]] {
            auto login = askProxyLoginOnTerminal(question.host, question.refused, stopFd);
            {
                std::lock_guard lock(answerMutex_);
                answer_ = std::move(login);
            }
            loop_->runAfter(0, [this] { answered(); });
        });
    }

    void answered() {
        if (!asking_) return;
        asking_ = false;
        std::optional<ProxyLogin> login;
        {
            std::lock_guard lock(answerMutex_);
            login.swap(answer_);
        }
        if (!closed_) delegate_.onProxyLogin(std::move(login));
    }

    // Ends a question still asked (its echo given back) and forgets an answer not taken.
    void stopQuestion() {
        if (stopQuestion_[1] >= 0) (void)!::write(stopQuestion_[1], "x", 1);
        if (asker_.joinable()) asker_.join();
        for (int& fd : stopQuestion_) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
        asking_ = false;
        std::lock_guard lock(answerMutex_);
        if (answer_) wipeLogin(*answer_);
        answer_.reset();
    }

    // A status when it changed; a ready run's is for a window's reader: the log has said where an
    // agent started offline came from.
    void showStatus(const RunSnapshot& snapshot, Clock::time_point now) {
        if (snapshot.stage == Stage::Ready) return;
        std::string status = statusText(snapshot, now, language_);
        std::replace(status.begin(), status.end(), '\n', ' ');
        if (status == status_) return;
        status_ = status;
        if (!terminal_) return platform::writeAll(STDERR_FILENO, status + "\n");
        // Said once above the line, which keeps its room for the progress.
        if (const std::string resumed = resumedText(snapshot, language_); !resumed.empty()) {
            terminal_->print(resumed + "\n");
            RunSnapshot plain = snapshot;
            plain.resumedFrom = 0;
            status_ = statusText(plain, now, language_);
        }
        draw();
    }

    void showTransfer(const TransferMeter& transfer, Clock::time_point now) {
        const bool began = transfer.receiving() && (!meter_.receiving() || transfer.received() < meter_.received());
        const bool advanced = transfer.receiving() && transfer.received() != meter_.received();
        const bool finished = transfer.finished() && !meter_.finished();
        meter_ = transfer;
        if (began) {  // a transfer begins, perhaps again
            plainFrom_ = now;
            tenthShown_ = 0;
            if (terminal_ && !ticking_) {
                ticking_ = true;
                loop_->runAfter(1.0, [this] { tick(); });
            }
        }
        if (finished) {
            showSummary();
        } else if (advanced) {
            terminal_ ? drawSoon() : writePlainProgress(now);
        }
    }

    // The words about the transfer give way to a summary ("Downloaded 48.0 MiB in 1.2 s") and
    // to the time that what follows takes.
    void showSummary() {
        const std::string summary = summaryText(meter_, SizeUnits::Binary, language_);
        if (!terminal_) {
            platform::writeAll(STDERR_FILENO, summary + "\n");
            return;
        }
        terminal_->show("");
        terminal_->print(summary + "\n");
    }

    // A line at each tenth of a known length, for an unknown one now and then, and never
    // two within a short while.
    void writePlainProgress(Clock::time_point now) {
        bool due = false;
        if (meter_.total() > 0) {
            // Whole, the summary says it; and a page that is not the archive is never 100 %.
            const int tenth =
                static_cast<int>(std::clamp(std::floor(10 * meter_.received() / meter_.total()), 0.0, 9.0));
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
        if (closed_ || !terminal_ || failed_ || asking_) return;
        const auto now = Clock::now();
        terminal_->show(
            consoleLine(status_, meter_, now, language_, static_cast<size_t>(std::max(1, terminal_->columns() - 1))));
        lastDraw_ = now;
    }

    // Once a second from the first bytes: a stall's seconds, then the elapsed time of what
    // follows the download, change without a byte.
    void tick() {
        if (closed_ || failed_) return;
        if (meter_.receiving() || meter_.finished()) draw();
        loop_->runAfter(1.0, [this] { tick(); });
    }

    // Progress stays on the screen as it last was, without its speed; the failure follows
    // in red, in whole.
    void showFailure(const std::string& message) {
        meter_.stop();
        if (!terminal_) {
            platform::writeAll(STDERR_FILENO, message + "\n");
            failed_ = true;
            return;
        }
        if (meter_.receiving() || meter_.finished()) {
            draw();
            terminal_->end();
        } else {
            terminal_->show("");
        }
        failed_ = true;
        std::string lines;
        for (const std::string& line : wrapText(message, static_cast<size_t>(std::max(1, terminal_->columns() - 1)))) {
            lines += colour_ ? kRed + line + kPlain + "\n" : line + "\n";
        }
        terminal_->print(lines);
    }

    // What arrived stays on the screen, without a speed or time left that no longer hold; a
    // mere status ("Downloading" before a 304) gives way, so that what runs next starts clean.
    void endLine() {
        if (!terminal_ || closed_) return;
        if (!meter_.finished()) meter_.stop();
        if (failed_ || meter_.receiving() || meter_.finished()) {
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
    const bool colour_;

    TransferMeter meter_;
    std::string status_;
    bool failed_ = false;
    bool closed_ = false;
    bool ready_ = false;
    bool keepsPartial_ = false;
    bool ticking_ = false;

    std::thread asker_;  // the proxy's question, while asked
    bool asking_ = false;
    int stopQuestion_[2] = {-1, -1};
    std::mutex answerMutex_;
    std::optional<ProxyLogin> answer_;

    bool drawPending_ = false;
    Clock::time_point lastDraw_{};

    int tenthShown_ = 0;
    Clock::time_point plainFrom_{};
    Clock::time_point lastPlainLine_{};
};

}  // namespace

std::unique_ptr<Window> makeConsoleWindow(WindowDelegate& delegate, const WindowSettings& settings) {
    return std::make_unique<ConsoleWindow>(delegate, settings);
}

}  // namespace bi::ui
