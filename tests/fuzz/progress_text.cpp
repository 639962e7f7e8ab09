// The progress words for any sizes, speeds and times a server and a clock can give, in every
// language of the catalogs: nothing negative, nothing not a number, and the console's line
// never wider than the terminal, however narrow, in columns as the terminal counts them.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <algorithm>
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
    const char* locale = in.PickValueInArray(
        {"C", "de_DE.UTF-8", "fr_FR.UTF-8", "es_ES.UTF-8", "pt_BR.UTF-8", "it_IT.UTF-8", "nl_NL.UTF-8", "pl_PL.UTF-8",
         "cs_CZ.UTF-8", "ru_RU.UTF-8", "uk_UA.UTF-8", "tr_TR.UTF-8", "sv_SE.UTF-8", "ja_JP.UTF-8", "zh_CN.UTF-8"});
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
    // Bytes of any kind, or one of the catalogs' longer texts.
    const std::string status =
        in.ConsumeBool()
            ? in.ConsumeRandomLengthString(200)
            : language.tr(in.PickValueInArray({"Downloading", "Waiting for another installer to finish",
                                               "Could not reach the server; starting the installer downloaded on %s",
                                               "The server cannot be reached. Check the internet connection and any "
                                               "proxy settings, then try again."}));
    const std::string line = consoleLine(status, meter, now, language, columns);
    FUZZ_CHECK(textColumns(line) <= columns, line);
    std::string wrapped;
    for (const std::string& piece : wrapText(status, columns)) {
        // A wide character on a line of one column stands out of it, alone.
        FUZZ_CHECK(textColumns(piece) <= std::max<size_t>(columns, 2), piece);
        wrapped += piece;
    }
    std::string words = status;
    std::erase(words, ' ');
    std::erase(wrapped, ' ');
    FUZZ_CHECK(wrapped == words, status);
}
