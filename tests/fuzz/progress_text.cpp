// The progress words for any sizes, speeds and times a server and a clock can give, in C,
// German and French: nothing negative, nothing not a number, and the console's line never
// wider than the terminal, however narrow.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <cstdint>

#include "fuzz.h"
#include "ui/progress_text.h"

using namespace bi;
using namespace bi::ui;

static void checkWords(const std::string& text) {
    for (const char* bad : {"-", "nan", "inf"}) FUZZ_CHECK(text.find(bad) == std::string::npos, text);
}

FUZZ_TARGET(data) {
    FuzzedDataProvider in(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    static const char* current = "";
    const char* locale = in.PickValueInArray({"C", "de_DE.UTF-8", "fr_FR.UTF-8"});
    if (locale != current) {
        ::setenv("LC_ALL", locale, 1);
        reloadUserLanguage();
        current = locale;
    }
    const Language& language = userLanguage();
    TransferMeter meter;
    auto now = TransferMeter::Clock::time_point{} + std::chrono::hours(1);
    const auto bytes = [&] { return static_cast<double>(in.ConsumeIntegralInRange<int64_t>(0, INT64_MAX)); };
    for (int ops = 0; ops < 64 && in.remaining_bytes() > 0; ++ops) {
        now += std::chrono::nanoseconds(in.ConsumeIntegralInRange<int64_t>(0, int64_t{1} << 50));
        const int op = in.ConsumeIntegralInRange(0, 5);
        if (op == 0) meter.setMaximum(bytes());
        if (op == 1) meter.setIndeterminate(in.ConsumeBool());
        if (op == 2) meter.add(bytes(), now);
        if (op == 3) meter.setValue(bytes());
        if (op == 4) meter.finish(now);
        if (op == 5) meter.stop();
    }
    const ConsoleProgress p = consoleProgress(meter, now, language);
    for (const std::string* piece : {&p.percent, &p.amount, &p.speed, &p.left}) checkWords(*piece);
    checkWords(windowProgressLine(meter, now, language));
    const auto columns = in.ConsumeIntegralInRange<size_t>(1, 300);
    const std::string status = in.ConsumeRandomLengthString(200);
    const std::string line = consoleLine(status, meter, now, language, columns);
    FUZZ_CHECK(textColumns(line) <= columns, line);
    std::string wrapped;
    for (const std::string& piece : wrapText(status, columns)) {
        FUZZ_CHECK(textColumns(piece) <= columns, piece);
        wrapped += piece;
    }
    std::string words = status;
    std::erase(words, ' ');
    std::erase(wrapped, ' ');
    FUZZ_CHECK(wrapped == words, status);
}
