// What the window says about the transfer, on both backends: what has arrived, of what
// total, how fast over the last few seconds and how long the rest will take. Compiled into the
// installer and into the GTK plug-in alike.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/i18n.h"

namespace bi::ui {

// The progress bar as the controller sets it, and the transfer behind it. Only increments
// count as received: a failure fills the bar, and the words still say what really arrived.
class TransferMeter {
public:
    using Clock = std::chrono::steady_clock;

    // The bar's value. One below what was received starts the count afresh.
    void setValue(double value);
    void setMaximum(double max) { max_ = max; }
    double maximum() const { return indeterminate_ ? -1 : max_; }
    void setIndeterminate(bool indeterminate) { indeterminate_ = indeterminate; }
    // Bytes that arrived.
    void add(double bytes, Clock::time_point now);
    // The whole archive has arrived.
    void finish(Clock::time_point now);
    // A failure: speed and time left say nothing true any more.
    void stop() { stopped_ = true; }

    // The bar: 0 to 1; meaningless while indeterminate.
    double fraction() const;
    bool indeterminate() const { return indeterminate_; }

    bool receiving() const { return counting_; }
    bool finished() const { return finished_; }
    bool stopped() const { return stopped_; }
    double received() const { return received_; }
    // The expected length as it stood when the last bytes arrived; negative when unknown.
    double total() const { return total_; }
    // Over the last five seconds counted to `now`, bytes or not; nothing before half a second
    // of data, after a failure and once finished.
    std::optional<double> bytesPerSecond(Clock::time_point now) const;
    // Nothing while the bytes stall.
    std::optional<double> secondsLeft(Clock::time_point now) const;
    // How long no byte has come, once it is five seconds or more (and bytes came before).
    std::optional<double> stalledSeconds(Clock::time_point now) const;
    // From the first bytes to the finish.
    double transferSeconds() const;
    double secondsSinceFinish(Clock::time_point now) const;

private:
    struct Sample {
        Clock::time_point at;
        double bytes;
    };

    double value_ = 0;
    double max_ = 0;
    bool indeterminate_ = false;

    bool counting_ = false;
    bool finished_ = false;
    bool stopped_ = false;
    double received_ = 0;
    double total_ = -1;
    double runBytes_ = 0;
    Clock::time_point firstBytes_{};
    Clock::time_point lastBytes_{};
    Clock::time_point finishedAt_{};
    std::deque<Sample> samples_;
};

// "12.4 MB" as GNOME writes sizes, or "36.6 MiB" as a terminal tool does.
enum class SizeUnits { Decimal, Binary };
std::string sizeText(double bytes, SizeUnits units, const Language& language);

// "0:07", "12:34", "1:02:03".
std::string clockText(double seconds);

// "Downloaded 48.0 MiB in 1.2 s": the whole archive, also when part of it was already here.
std::string summaryText(const TransferMeter& meter, SizeUnits units, const Language& language);

// The GTK window's line under the bar: "12.4 MB of 48.0 MB — 5.2 MB/s, 7 seconds left"; the
// summary once finished; "" before the first bytes.
std::string windowProgressLine(const TransferMeter& meter, TransferMeter::Clock::time_point now,
                               const Language& language);

// The console line's pieces, each empty when it has nothing true to say.
struct ConsoleProgress {
    std::string percent;  // " 76%"
    std::string amount;   // "36.6 MiB of 48.0 MiB"
    std::string speed;    // "45.2 MiB/s"
    std::string left;     // "0:03 left"
};
ConsoleProgress consoleProgress(const TransferMeter& meter, TransferMeter::Clock::time_point now,
                                const Language& language);

// The console's line on a terminal: the status and the progress, fitted to `columns` by
// shortening the bar to half, then leaving out the speed, the bar, the time left and the
// percent in turn; the status is cut only when it alone does not fit.
std::string consoleLine(const std::string& status, const TransferMeter& meter, TransferMeter::Clock::time_point now,
                        const Language& language, size_t columns);

// Columns on a terminal, as wcwidth counts them in a UTF-8 locale: two for a Chinese or
// Japanese character, none for a combining mark; a control character and a byte that is not
// UTF-8 count one.
size_t textColumns(std::string_view text);

// Text broken into lines of at most `columns` (at least 1) columns, at blanks or between
// Chinese and Japanese characters where it can. A character wider than `columns` takes a line
// of its own.
std::vector<std::string> wrapText(std::string_view text, size_t columns);

}  // namespace bi::ui
