#include "ui/progress_text.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string_view>
#include <vector>

#include "ui/char_width.h"

namespace bi::ui {
namespace {

using Clock = TransferMeter::Clock;
using Seconds = std::chrono::duration<double>;

// Long enough that the time left does not jump with every burst, short enough to follow a
// connection that slows down.
constexpr Seconds kSpeedWindow{5.0};
constexpr Seconds kSampleSpacing{0.1};
constexpr Seconds kLeastSpan{0.5};
// As long as the speed window: by then the speed has fallen to nothing and says no more.
constexpr Seconds kStallShown{5.0};
constexpr Seconds kLongestEstimate{366.0 * 24 * 3600};

}  // namespace

void TransferMeter::setValue(double value) {
    value_ = value;
    if (value < received_) {
        counting_ = finished_ = stopped_ = false;
        received_ = value;
        runBytes_ = 0;
        samples_.clear();
    }
}

void TransferMeter::add(double bytes, Clock::time_point now) {
    if (!counting_) {
        counting_ = true;
        firstBytes_ = now;
        samples_.push_back({now, runBytes_});
    }
    value_ += bytes;
    runBytes_ += bytes;
    received_ = value_;
    lastBytes_ = now;
    total_ = indeterminate_ || max_ <= 0 ? -1 : max_;
    // The newest sample is always now's, so that a speed measured after the bytes stopped
    // counts every one of them; the ones before it lie a spacing apart.
    if (samples_.size() > 1 && now - samples_[samples_.size() - 2].at < kSampleSpacing) {
        samples_.back() = {now, runBytes_};
    } else {
        samples_.push_back({now, runBytes_});
    }
    while (samples_.size() > 1 && samples_[1].at <= now - kSpeedWindow) samples_.pop_front();
}

void TransferMeter::finish(Clock::time_point now) {
    if (finished_) return;
    finished_ = true;
    finishedAt_ = now;
    if (!counting_) firstBytes_ = now;
}

double TransferMeter::fraction() const { return max_ > 0 ? std::clamp(value_ / max_, 0.0, 1.0) : 0.0; }

std::optional<double> TransferMeter::bytesPerSecond(Clock::time_point now) const {
    if (!counting_ || finished_ || stopped_ || samples_.empty()) return std::nullopt;
    // The newest sample from before the window, or the first one.
    auto base = samples_.begin();
    for (auto it = samples_.begin(); it != samples_.end() && it->at <= now - kSpeedWindow; ++it) base = it;
    const Seconds span = now - base->at;
    if (span < kLeastSpan) return std::nullopt;
    return (runBytes_ - base->bytes) / span.count();
}

std::optional<double> TransferMeter::secondsLeft(Clock::time_point now) const {
    const auto speed = bytesPerSecond(now);
    if (stalledSeconds(now) || !speed || *speed <= 0 || total_ <= 0 || received_ >= total_) return std::nullopt;
    // A trickle of a huge total: beyond a year an estimate says nothing (and would overflow
    // the clock's numbers).
    const double left = (total_ - received_) / *speed;
    return left <= kLongestEstimate.count() ? std::optional(left) : std::nullopt;
}

std::optional<double> TransferMeter::stalledSeconds(Clock::time_point now) const {
    if (!counting_ || finished_ || stopped_ || now - lastBytes_ < kStallShown) return std::nullopt;
    return Seconds(now - lastBytes_).count();
}

double TransferMeter::transferSeconds() const {
    // Bytes may still come once the archive is whole (a finish before any): never a negative time.
    return finished_ && counting_ ? std::max(0.0, Seconds(finishedAt_ - firstBytes_).count()) : 0.0;
}

double TransferMeter::secondsSinceFinish(Clock::time_point now) const {
    return finished_ ? Seconds(now - finishedAt_).count() : 0.0;
}

std::string sizeText(double bytes, SizeUnits units, const Language& language) {
    if (units == SizeUnits::Decimal) {
        if (bytes < 1000) {
            const auto n = static_cast<unsigned long>(std::max(0.0, bytes));
            return language.format(language.trn("%lu byte", "%lu bytes", n), n);
        }
        static const char* const formats[] = {N_("%.1f kB"), N_("%.1f MB"), N_("%.1f GB"), N_("%.1f TB")};
        size_t unit = 0;
        for (bytes /= 1000; bytes >= 1000 && unit + 1 < std::size(formats); ++unit) bytes /= 1000;
        return language.format(language.tr(formats[unit]), bytes);
    }
    if (bytes < 1024) return language.format(language.tr("%.0f B"), std::max(0.0, bytes));
    static const char* const formats[] = {N_("%.1f KiB"), N_("%.1f MiB"), N_("%.1f GiB"), N_("%.1f TiB")};
    size_t unit = 0;
    for (bytes /= 1024; bytes >= 1024 && unit + 1 < std::size(formats); ++unit) bytes /= 1024;
    return language.format(language.tr(formats[unit]), bytes);
}

std::string clockText(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    char buf[32];
    if (total >= 3600) {
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%ld:%02ld", total / 60, total % 60);
    }
    return buf;
}

std::string summaryText(const TransferMeter& meter, SizeUnits units, const Language& language) {
    const double seconds = meter.transferSeconds();
    const std::string duration = seconds < 60 ? language.format(language.tr("%.1f s"), seconds) : clockText(seconds);
    return language.format(language.tr("Downloaded %s in %s"), sizeText(meter.received(), units, language).c_str(),
                           duration.c_str());
}

namespace {

std::string amountText(const TransferMeter& meter, SizeUnits units, const Language& language) {
    std::string received = sizeText(meter.received(), units, language);  // not const: returned, it moves
    if (meter.total() <= 0) return received;
    return language.format(language.tr("%s of %s"), received.c_str(), sizeText(meter.total(), units, language).c_str());
}

std::string speedText(double bytesPerSecond, SizeUnits units, const Language& language) {
    return language.format(language.tr("%s/s"), sizeText(bytesPerSecond, units, language).c_str());
}

// In place of a speed that has fallen to nothing: how long the server has sent nothing.
std::string stallText(double seconds, const Language& language) {
    return language.format(language.tr("No data for %ld s"), static_cast<long>(seconds));
}

// In words, as GNOME says it: seconds under a minute, then minutes, then hours.
std::string timeLeftWords(double seconds, const Language& language) {
    const auto in = [&](double unit) { return static_cast<unsigned long>(std::max(1L, std::lround(seconds / unit))); };
    if (seconds < 59.5) {
        const unsigned long n = in(1);
        return language.format(language.trn("%lu second left", "%lu seconds left", n), n);
    }
    if (seconds < 3570) {
        const unsigned long n = in(60);
        return language.format(language.trn("%lu minute left", "%lu minutes left", n), n);
    }
    const unsigned long n = in(3600);
    return language.format(language.trn("%lu hour left", "%lu hours left", n), n);
}

}  // namespace

std::string windowProgressLine(const TransferMeter& meter, Clock::time_point now, const Language& language) {
    if (meter.finished()) return summaryText(meter, SizeUnits::Binary, language);
    if (!meter.receiving()) return {};
    // After a failure the bar is full; the words say only what arrived, never "X of X".
    if (meter.stopped()) {
        return language.format(language.tr("%s received"),
                               sizeText(meter.received(), SizeUnits::Binary, language).c_str());
    }
    std::string line = amountText(meter, SizeUnits::Binary, language);
    if (const auto stalled = meter.stalledSeconds(now)) {
        line += " \u2014 " + stallText(*stalled, language);
    } else if (const auto speed = meter.bytesPerSecond(now)) {
        line += " \u2014 " + speedText(*speed, SizeUnits::Binary, language);
        if (const auto left = meter.secondsLeft(now)) line += ", " + timeLeftWords(*left, language);
    }
    return line;
}

ConsoleProgress consoleProgress(const TransferMeter& meter, Clock::time_point now, const Language& language) {
    ConsoleProgress progress;
    if (!meter.receiving()) return progress;
    if (meter.total() > 0) {
        // Only a finished archive is whole: a page that is not the archive never reads 100 %.
        const int percent = static_cast<int>(
            std::clamp(std::floor(100 * meter.received() / meter.total()), 0.0, meter.finished() ? 100.0 : 99.0));
        progress.percent = language.format(language.tr("%d%%"), percent);
        if (percent < 10)
            progress.percent.insert(0, "  ");
        else if (percent < 100)
            progress.percent.insert(0, " ");
    }
    progress.amount = amountText(meter, SizeUnits::Binary, language);
    if (const auto stalled = meter.stalledSeconds(now)) {
        progress.speed = stallText(*stalled, language);
    } else if (const auto speed = meter.bytesPerSecond(now)) {
        progress.speed = speedText(*speed, SizeUnits::Binary, language);
    }
    if (const auto left = meter.secondsLeft(now)) {
        progress.left = language.format(language.tr("%s left"), clockText(*left).c_str());
    }
    return progress;
}

namespace {

// The bar's cells when the line has room, and the fewest worth its room.
constexpr size_t kBarCells = 20;
constexpr size_t kLeastBarCells = 10;
constexpr const char* kSeparator = "  ";

// One character of UTF-8 text: its code point and its bytes. A byte that does not begin a
// well-formed sequence is a character of its own, as a terminal shows it (U+FFFD).
struct Char {
    char32_t code;
    size_t size;
};

Char charAt(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return {lead, 1};
    const size_t size = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (size == 0 || lead > 0xF4 || at + size > text.size()) return {0xFFFD, 1};
    char32_t code = lead & (0x7Fu >> size);
    for (size_t i = 1; i < size; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return {0xFFFD, 1};
        code = code << 6 | (byte(at + i) & 0x3Fu);
    }
    // Overlong forms, surrogates and code points beyond Unicode's are no characters.
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[size] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return {0xFFFD, 1};
    return {code, size};
}

template <size_t N>
bool inRanges(char32_t c, const CharRange (&ranges)[N]) {
    const auto after = std::upper_bound(std::begin(ranges), std::end(ranges), c,
                                        [](char32_t code, const CharRange& r) { return code < r.first; });
    return after != std::begin(ranges) && c <= std::prev(after)->last;
}

// As wcwidth, except that a control character counts one: never less than a terminal shows.
size_t columnsOf(char32_t c) {
    if (c < kZeroWidth[0].first) return 1;
    if (inRanges(c, kZeroWidth)) return 0;
    return inRanges(c, kDoubleWidth) ? 2 : 1;
}

// The byte offset after the most characters that take at most `columns` columns, with the
// zero-width ones that follow them (a combining mark stays with its letter).
size_t offsetOf(std::string_view text, size_t columns) {
    size_t at = 0;
    for (size_t used = 0; at < text.size();) {
        const Char c = charAt(text, at);
        used += columnsOf(c.code);
        if (used > columns) break;
        at += c.size;
    }
    return at;
}

// Chinese and Japanese break between characters, but never before a closing mark or after an
// opening one.
bool opens(char32_t c) {
    return std::u32string_view(U"\uFF08\u300C\u300E\u3010\u3014\u3008\u300A").find(c) != std::u32string_view::npos;
}
bool closes(char32_t c) {
    return std::u32string_view(
               U"\u3001\u3002\uFF0C\uFF0E\uFF01\uFF1F\uFF1A\uFF1B\uFF09\u300D\u300F\u3011\u3015\u3009\u300B\u30FC")
               .find(c) != std::u32string_view::npos;
}

// Where the first line of `text` ends when it may hold at most `fits` bytes: at the last blank
// or between two characters of which one is wide; 0 when there is no such place.
size_t lineEnd(std::string_view text, size_t fits) {
    size_t end = 0;
    char32_t before = 0;
    for (size_t at = 0; at < text.size() && at <= fits;) {
        const Char c = charAt(text, at);
        const bool blank = c.code == ' ' && before != ' ';
        const bool between = (columnsOf(before) == 2 || columnsOf(c.code) == 2) && columnsOf(c.code) > 0 &&
                             before != ' ' && c.code != ' ' && !opens(before) && !closes(c.code);
        if (at > 0 && (blank || between)) end = at;
        before = c.code;
        at += c.size;
    }
    return end;
}

// The pieces of a line, joined by two blanks. When it is too wide the bar shrinks first;
// then the most needed pieces that fit are kept, and the status is cut only when it alone does
// not fit.
struct Piece {
    std::string text;
    int need;  // lower is kept first; 0 always
    bool bar = false;
    bool kept = false;
};

std::string bar(double fraction, size_t cells) {
    const auto filled = static_cast<size_t>(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(cells));
    return "[" + std::string(filled, '#') + std::string(cells - filled, '-') + "]";
}

std::string fit(std::vector<Piece> pieces, double fraction, size_t columns) {
    const auto joined = [&](size_t cells) {
        std::string line;
        for (const Piece& p : pieces) {
            if (!p.kept || (p.text.empty() && !p.bar)) continue;
            if (!line.empty()) line += kSeparator;
            line += p.bar ? bar(fraction, cells) : p.text;
        }
        return line;
    };
    std::vector<Piece*> byNeed;
    byNeed.reserve(pieces.size());
    for (Piece& p : pieces) byNeed.push_back(&p);
    std::stable_sort(byNeed.begin(), byNeed.end(), [](const Piece* a, const Piece* b) { return a->need < b->need; });
    for (Piece* p : byNeed) {
        p->kept = true;
        if (p->need > 0 && textColumns(joined(kLeastBarCells)) > columns) p->kept = false;
    }
    const size_t used = textColumns(joined(kLeastBarCells));
    if (used <= columns) return joined(kLeastBarCells + std::min(columns - used, kBarCells - kLeastBarCells));
    const std::string line = joined(kLeastBarCells);
    return columns > 0 ? line.substr(0, offsetOf(line, columns - 1)) + "\u2026" : std::string();
}

}  // namespace

size_t textColumns(std::string_view text) {
    size_t columns = 0;
    for (size_t at = 0; at < text.size();) {
        const Char c = charAt(text, at);
        columns += columnsOf(c.code);
        at += c.size;
    }
    return columns;
}

std::vector<std::string> wrapText(std::string_view text, size_t columns) {
    std::vector<std::string> lines;
    while (textColumns(text) > columns) {
        const size_t fits = offsetOf(text, columns);
        size_t end = lineEnd(text, fits);
        // Without a place to break the line is cut where it is full; a character wider than
        // the whole line gets a line of its own.
        if (end == 0) end = fits > 0 ? fits : charAt(text, 0).size;
        lines.emplace_back(text.substr(0, end));
        text.remove_prefix(end);
        while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    }
    if (!text.empty() || lines.empty()) lines.emplace_back(text);
    return lines;
}

std::string consoleLine(const std::string& status, const TransferMeter& meter, Clock::time_point now,
                        const Language& language, size_t columns) {
    std::vector<Piece> pieces{{status, 0}};
    if (meter.finished()) {
        pieces.push_back({clockText(meter.secondsSinceFinish(now)), 1});
    } else if (meter.receiving()) {
        const ConsoleProgress p = consoleProgress(meter, now, language);
        if (meter.total() > 0) pieces.push_back({{}, 3, true});
        pieces.insert(pieces.end(), {{p.percent, 2}, {p.amount, 1}, {p.speed, 5}, {p.left, 4}});
    }
    return fit(std::move(pieces), meter.total() > 0 ? meter.received() / meter.total() : 0.0, columns);
}

}  // namespace bi::ui
