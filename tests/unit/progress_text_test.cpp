#include "ui/progress_text.h"
#include "ui/words.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <wchar.h>

#include <algorithm>
#include <cmath>

#include "tests/support/support.h"

using namespace bi;

// Every language of the catalogs, with the locale a desktop in it has.
static const std::pair<std::string, std::string> kLanguages[] = {
    {"en", "C.UTF-8"},        {"de", "de_DE.UTF-8"}, {"fr", "fr_FR.UTF-8"},    {"es", "es_ES.UTF-8"},
    {"pt_BR", "pt_BR.UTF-8"}, {"it", "it_IT.UTF-8"}, {"nl", "nl_NL.UTF-8"},    {"pl", "pl_PL.UTF-8"},
    {"cs", "cs_CZ.UTF-8"},    {"ru", "ru_RU.UTF-8"}, {"uk", "uk_UA.UTF-8"},    {"tr", "tr_TR.UTF-8"},
    {"sv", "sv_SE.UTF-8"},    {"ja", "ja_JP.UTF-8"}, {"zh_CN", "zh_CN.UTF-8"},
};

// The user's language as the window reads it, from the catalogs in the build.
static const ui::Language& in(const std::string& lang) {
    const auto* l =
        std::find_if(std::begin(kLanguages), std::end(kLanguages), [&](auto& entry) { return entry.first == lang; });
    setenv("LANGUAGE", lang.c_str(), 1), setenv("LC_ALL", l->second.c_str(), 1), ui::reloadUserLanguage();
    return ui::userLanguage();
}

TEST(ProgressText, SizesInDecimalOrBinaryUnitsInTheUsersLanguage) {
    const auto d = ui::SizeUnits::Decimal, b = ui::SizeUnits::Binary;
    // clang-format off
    const struct { const char* lang; double bytes; ui::SizeUnits units; const char* text; } rows[] = {
        {"en", 0, d, "0 bytes"}, {"en", 1, d, "1 byte"}, {"en", 999, d, "999 bytes"}, {"en", 1000, d, "1.0 kB"}, {"en", 999949, d, "999.9 kB"},
        {"en", 1.5e9, d, "1.5 GB"}, {"en", 5e15, d, "5000.0 TB"}, {"en", -5, d, "0 bytes"}, {"en", -5, b, "0 B"}, {"en", 1023, b, "1023 B"},
        {"en", 1024, b, "1.0 KiB"}, {"en", 1536, b, "1.5 KiB"}, {"en", 1 << 20, b, "1.0 MiB"}, {"en", std::ldexp(1, 50), b, "1024.0 TiB"}, {"de", 1, d, "1 Byte"},
        {"de", 300, d, "300 Bytes"}, {"de", 1536, b, "1,5 KiB"}, {"fr", 0, d, "0 octet"}, {"fr", 2, d, "2 octets"}, {"fr", 1536, b, "1,5 Kio"},
        // Three plural forms: one, few and many (11 to 14 are many).
        {"ru", 1, d, "1 байт"}, {"ru", 3, d, "3 байта"}, {"ru", 5, d, "5 байт"}, {"ru", 11, d, "11 байт"}, {"ru", 21, d, "21 байт"},
        {"ru", 22, d, "22 байта"}, {"ru", 112, d, "112 байт"}, {"ru", 1536, b, "1,5 КиБ"}, {"pl", 22, d, "22 bajty"}, {"pl", 25, d, "25 bajtów"},
        {"cs", 4, d, "4 bajty"}, {"cs", 22, d, "22 bajtů"}, {"uk", 1, d, "1 байт"}, {"ja", 1536, b, "1.5 KiB"}, {"zh_CN", 7, d, "7 字节"},
    };
    // clang-format on
    for (const auto& r : rows)
        EXPECT_EQ(ui::sizeText(r.bytes, r.units, in(r.lang)), r.text) << r.lang << " " << r.bytes;
}

// A transfer: `bytes` of `max` (0: not known) arrive in 20 even pieces over `seconds`; by `now`
// it is still 'r'eceiving, 's'topped by a failure that fills the bar, 'f'inished, 'k' finished
// where the rest of `max` was already here, or begun 'a'gain. The console's pieces are joined by "|".
TEST(ProgressText, TheLinesSayWhatArrivedOfWhatTotalHowFastAndHowLongTheRestTakes) {
    // clang-format off
    const struct { const char* lang; double max, bytes, seconds, now; char state; const char *window, *console; } rows[] = {
        {"en", 1024000, 512000, 2, 2, 'r', "500.0 KiB of 1000.0 KiB — 250.0 KiB/s, 2 seconds left", " 50%|500.0 KiB of 1000.0 KiB|250.0 KiB/s|0:02 left"},
        {"de", 1024000, 512000, 2, 2, 'r', "500,0 KiB von 1000,0 KiB — 250,0 KiB/s, noch 2 Sekunden", " 50 %|500,0 KiB von 1000,0 KiB|250,0 KiB/s|noch 0:02"},
        {"en", 1024000, 0, 2, 2, 'r', "", "|||"}, {"en", 0, 512000, 2, 2, 'r', "500.0 KiB — 250.0 KiB/s", "|500.0 KiB|250.0 KiB/s|"},
        {"en", 2e6, 1e6, 4, 10, 'r', "976.6 KiB of 1.9 MiB — No data for 6 s", " 50%|976.6 KiB of 1.9 MiB|No data for 6 s|"},
        {"en", 2e6, 1e6, 4, 8.5, 'r', "976.6 KiB of 1.9 MiB — 19.1 KiB/s, 51 seconds left", " 50%|976.6 KiB of 1.9 MiB|19.1 KiB/s|0:51 left"},  // to now
        {"de", 1024000, 512000, 2, 9, 'r', "500,0 KiB von 1000,0 KiB — Keine Daten seit 7 s", " 50 %|500,0 KiB von 1000,0 KiB|Keine Daten seit 7 s|"},
        {"fr", 1024000, 512000, 2, 9, 'r', "500,0 Kio sur 1000,0 Kio — Aucune donnée depuis 7 s", " 50 %|500,0 Kio sur 1000,0 Kio|Aucune donnée depuis 7 s|"},
        {"en", 46, 46, 1, 1, 's', "46 B received", " 99%|46 B of 46 B||"},  // a page that is not the archive
        {"en", 1024000, 512000, 2, 2, 'k', "Downloaded 1000.0 KiB in 2.0 s", "100%|1000.0 KiB of 1000.0 KiB||"},
        {"en", 30.75e6, 1e6, 2, 2, 'r', "976.6 KiB of 29.3 MiB — 488.3 KiB/s, 1 minute left", "  3%|976.6 KiB of 29.3 MiB|488.3 KiB/s|1:00 left"},
        {"en", 1e10, 1e6, 2, 2, 'r', "976.6 KiB of 9.3 GiB — 488.3 KiB/s, 6 hours left", "  0%|976.6 KiB of 9.3 GiB|488.3 KiB/s|5:33:18 left"},
        {"en", 1024000, 691200, 2, 2, 's', "675.0 KiB received", " 67%|675.0 KiB of 1000.0 KiB||"},
        {"en", 1024000, 1024000, 2, 2, 'f', "Downloaded 1000.0 KiB in 2.0 s", "100%|1000.0 KiB of 1000.0 KiB||"},
        {"de", 6e6, 6e6, 65, 65, 'f', "5,7 MiB in 1:05 heruntergeladen", "100 %|5,7 MiB von 5,7 MiB||"},
        {"en", 1024000, 512000, 2, 2, 'a', "", "|||"},
        {"en", 9e18, 20, 100, 99, 'r', "20 B of 8185452.3 TiB — 0 B/s", "  0%|20 B of 8185452.3 TiB|0 B/s|"},  // a year and more: no time left
        {"ru", 5888000, 512000, 2, 2, 'r', "500,0 КиБ из 5,6 МиБ — 250,0 КиБ/с, осталась 21 секунда", "  8 %|500,0 КиБ из 5,6 МиБ|250,0 КиБ/с|осталось 0:21"},
        {"ru", 1024000, 512000, 2, 2, 'r', "500,0 КиБ из 1000,0 КиБ — 250,0 КиБ/с, осталось 2 секунды", " 50 %|500,0 КиБ из 1000,0 КиБ|250,0 КиБ/с|осталось 0:02"},
        {"ru", 1792000, 512000, 2, 2, 'r', "500,0 КиБ из 1,7 МиБ — 250,0 КиБ/с, осталось 5 секунд", " 28 %|500,0 КиБ из 1,7 МиБ|250,0 КиБ/с|осталось 0:05"},
        {"tr", 1024000, 512000, 2, 2, 'r', "500,0 KiB / 1000,0 KiB — 250,0 KiB/sn, 2 saniye kaldı", " %50|500,0 KiB / 1000,0 KiB|250,0 KiB/sn|0:02 kaldı"},
        {"ja", 1024000, 1024000, 2, 2, 'f', "1000.0 KiB を 2.0 秒 でダウンロードしました", "100%|1000.0 KiB / 1000.0 KiB||"},
    };
    // clang-format on
    const auto t0 = ui::TransferMeter::Clock::now();
    const auto at = [&](double s) {
        return t0 + std::chrono::duration_cast<ui::TransferMeter::Clock::duration>(std::chrono::duration<double>(s));
    };
    for (const auto& r : rows) {
        ui::TransferMeter meter;
        meter.setMaximum(r.max);
        if (r.state == 'k') meter.setValue(r.max - r.bytes);
        for (int i = 0; i < 20 && r.bytes > 0; ++i) meter.add(r.bytes / 20, at(r.seconds * i / 20));
        switch (r.state) {
            case 's':
                meter.stop(), meter.setValue(r.max);
                break;
            case 'k':
            case 'f':
                meter.finish(at(r.now));
                break;
            case 'a':
                meter.setValue(0);
        }
        const auto c = ui::consoleProgress(meter, at(r.now), in(r.lang));
        EXPECT_EQ(ui::windowProgressLine(meter, at(r.now), in(r.lang)), r.window) << r.window;
        EXPECT_EQ(c.percent + "|" + c.amount + "|" + c.speed + "|" + c.left, r.console) << r.window;
    }
}

// What a run that went wrong says besides the transfer, in each language: what was already
// here, the room the disk lacks, what the next run does, the button for another attempt.
TEST(ProgressText, ABadDayIsSaidInTheUsersLanguage) {
    ui::RunSnapshot resumed;
    resumed.transfer.setMaximum(30e6), resumed.resumedFrom = 13'000'000;
    const ui::Trouble room{
        .kind = ui::Trouble::Kind::NoSpace, .place = "/tmp", .bytes = 60'000'000, .free = 41'950'000};
    // clang-format off
    const struct { const char *lang, *resumed, *room, *next, *again; } rows[] = {
        {"en", "Continuing the download: 12.4 MiB of 28.6 MiB were already here",
         "The installer needs 57.2 MiB free in /tmp; 40.0 MiB are free. Free some space, then try again.",
         "The next run of the installer continues where this one stopped.", "Try again"},
        {"de", "Der Download wird fortgesetzt: 12,4 MiB von 28,6 MiB waren schon da",
         "Das Installationsprogramm braucht 57,2 MiB freien Speicher in /tmp; 40,0 MiB sind frei. Geben Sie Speicher frei und versuchen Sie es dann erneut.",
         "Der nächste Start des Installationsprogramms macht dort weiter, wo dieser aufgehört hat.", "Erneut versuchen"},
        {"fr", "Reprise du téléchargement : 12,4 Mio sur 28,6 Mio étaient déjà là",
         "Le programme d'installation a besoin de 57,2 Mio d'espace libre dans /tmp ; 40,0 Mio sont libres. Libérez de l'espace, puis réessayez.",
         "Le prochain lancement du programme d'installation reprendra là où celui-ci s'est arrêté.", "Réessayer"},
    };
    // clang-format on
    for (const auto& r : rows) {
        const ui::Language& l = in(r.lang);
        EXPECT_EQ(ui::statusText(resumed, {}, l), r.resumed);
        EXPECT_EQ(ui::troubleText(room, l), r.room);
        EXPECT_EQ(ui::nextRunText(l) + "|" + ui::tryAgainText(l), std::string(r.next) + "|" + r.again);
    }
}

// The console line at a terminal's width, 28.7 MiB of 48.0 MiB arrived at 5.7 MiB/s.
TEST(ProgressText, TheConsoleLineKeepsWhatFitsTheTerminalInEveryLanguage) {
    // clang-format off
    const struct { const char* lang; size_t columns; const char* line; } rows[] = {
        {"en", 119, "Downloading  [###########---------]   59%  28.7 MiB of 48.0 MiB  5.7 MiB/s  0:03 left"},
        {"en", 79, "Downloading  [########------]   59%  28.7 MiB of 48.0 MiB  5.7 MiB/s  0:03 left"},  // a shorter bar
        {"en", 39, "Downloading   59%  28.7 MiB of 48.0 MiB"},
        {"de", 79, "Wird heruntergeladen  [########------]   59 %  28,7 MiB von 48,0 MiB  noch 0:03"},  // the speed goes first
        {"de", 39, "Wird heruntergeladen   59 %  noch 0:03"},  // what fits of what is left out
        {"ja", 79, "ダウンロード中  [######-----]   59%  28.7 MiB / 48.0 MiB  5.7 MiB/秒  残り 0:03"},  // two columns a character
        {"zh_CN", 39, "正在下载   59%  28.7 MiB / 48.0 MiB"}, {"ja", 10, "ダウンロ…"}, {"ja", 1, "…"},
    };
    // clang-format on
    ui::TransferMeter meter;
    meter.setMaximum(48.0 * (1 << 20));
    const auto t0 = ui::TransferMeter::Clock::now();
    meter.add(0, t0);  // the transfer's start
    for (int i = 0; i < 20; ++i) meter.add(28.7 * (1 << 20) / 20, t0 + std::chrono::milliseconds(250 * (i + 1)));
    const auto now = t0 + std::chrono::seconds(5);
    const auto line = [&](const std::string& lang, size_t columns) {
        return ui::consoleLine(in(lang).tr("Downloading"), meter, now, in(lang), columns);
    };
    for (const auto& r : rows) EXPECT_EQ(line(r.lang, r.columns), r.line) << r.lang << " " << r.columns;
    // Every catalog: a bar at 80 columns, one line at 40, and the longest failure wrapped within them.
    for (const auto& [lang, locale] : kLanguages) {
        EXPECT_NE(line(lang, 79).find("-]"), std::string::npos) << lang;
        EXPECT_LE(ui::textColumns(line(lang, 39)), 39u) << lang;
        const char* longest =
            "The certificate of the server %s is not trusted. Check that the date and time of this computer are "
            "right; a proxy or security program that inspects secure connections can also cause this.";
        for (const std::string& l : ui::wrapText(in(lang).tr(longest), 39)) EXPECT_LE(ui::textColumns(l), 39u) << l;
    }
}

// Columns as a terminal counts them, and text wrapped at blanks, or between Chinese and
// Japanese characters but never before a closing mark. Lines are joined by "|".
TEST(ProgressText, TextIsMeasuredAndWrappedInTheTerminalsColumns) {
    // clang-format off
    const struct { const char* text; size_t columns; const char* lines; } rows[] = {
        {"Connection lost. Retrying in 2 s", 12, "Connection|lost.|Retrying in|2 s"},
        {"サーバーに接続できません。インターネット", 24, "サーバーに接続できませ|ん。インターネット"},
        {"Cafe\u0301 Setup", 4, "Cafe\u0301|Setu|p"},  // a combining mark takes no column
        {"あいう「えお」", 8, "あいう|「えお」"}, {"かか\u3099。", 4, "か|か\u3099。"}, {"ab  cd", 4, "ab|cd"}, {"中文", 1, "中|文"},
        // Not UTF-8: a column a byte. Cut short, overlong, a surrogate, beyond U+10FFFF.
        {"\xff\xfe ab", 2, "\xff\xfe|ab"}, {"\xe4\xb8 \xc0\xaf", 2, "\xe4\xb8|\xc0\xaf"}, {"\xe0\x80\xaf", 1, "\xe0|\x80|\xaf"},
        {"\xed\xa0\x80", 1, "\xed|\xa0|\x80"}, {"\xf4\x90\x80\x80", 2, "\xf4\x90|\x80\x80"}, {"\xfc\x84\x80\x80", 2, "\xfc\x84|\x80\x80"},
        {"Загрузка 😀", 9, "Загрузка|😀"},
    };
    // clang-format on
    for (const auto& r : rows) {
        std::string lines;
        for (const std::string& l : ui::wrapText(r.text, r.columns)) lines += (lines.empty() ? "" : "|") + l;
        EXPECT_EQ(lines, r.lines) << r.text;
    }
    EXPECT_EQ(ui::textColumns(std::string_view("\u2014", 2)), 2u);      // cut short within the text
    EXPECT_EQ(ui::textColumns("\U00030000\U00030000a\U000E01EF"), 5u);  // in the tables' last ranges
    // What glibc's wcwidth says in a UTF-8 locale, for every character of every catalog.
    const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    uselocale(utf8);
    for (const auto& [lang, locale] : kLanguages) {
        const std::string po = lang == "en" ? "" : testsupport::readFile(BI_SOURCE_DIR "/po/" + lang + ".po");
        wchar_t wc = 0;
        for (size_t at = 0, n = 1; at < po.size(); at += n) {
            n = mbrtowc(&wc, po.data() + at, po.size() - at, nullptr);
            ASSERT_TRUE(n >= 1 && n <= 4) << lang << " at byte " << at;
            const int width = wcwidth(wc);  // -1 for a line break
            if (width >= 0) {
                EXPECT_EQ(ui::textColumns(po.substr(at, n)), static_cast<size_t>(width)) << po.substr(at, n);
            }
        }
    }
    uselocale(LC_GLOBAL_LOCALE), freelocale(utf8);
}
