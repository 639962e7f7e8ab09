#include "ui/progress_text.h"
#include "ui/words.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace bi;

// The user's language as the window reads it ("en", "de" or "fr"), from the catalogs in the build.
static const ui::Language& in(const std::string& lang) {
    setenv("LANGUAGE", lang.c_str(), 1),
        setenv("LC_ALL",
               lang == "de"   ? "de_DE.UTF-8"
               : lang == "fr" ? "fr_FR.UTF-8"
                              : "C.UTF-8",
               1),
        ui::reloadUserLanguage();
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
