// po/check-catalogs on a copy of the Russian catalog with one fault each: it fails and names
// the text and the fault, and it passes the catalog as it ships.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/support.h"

using namespace bi;
using namespace bi::testsupport;

TEST(Catalogs, TheCheckNamesEachTextThatIsMissingFuzzyUntranslatedOrInAnotherFormat) {
    // clang-format off
    const struct { const char *name, *from, *to, *said; } rows[] = {
        {"as shipped", "", "", ""},
        {"missing", "msgid \"Close\"\nmsgstr \"Закрыть\"\n", "", "ru.po: \"Close\": missing"},
        {"fuzzy", "msgid \"Downloading\"", "#, fuzzy\nmsgid \"Downloading\"", "ru.po: \"Downloading\": fuzzy"},
        {"untranslated", "msgstr \"Отмена\"", "msgstr \"\"", "ru.po: \"Cancel\": untranslated"},
        {"another format, the catalog's c-format mark gone too", "#, c-format\nmsgid \"Download failed with error code %ld\"\nmsgstr \"Загрузка не удалась, код ошибки %ld\"",
         "msgid \"Download failed with error code %ld\"\nmsgstr \"Загрузка не удалась, код ошибки %s\"",
         "ru.po: \"Download failed with error code %ld\": format specifications in 'msgid' and 'msgstr' for argument 1 are not the same"},
        {"two plural forms of three", "msgstr[2] \"%lu байт\"\n", "", "ru.po: \"%lu byte\": ...but some messages have only 2 plural forms"},
    };
    // clang-format on
    const std::string shipped = readFile(BI_SOURCE_DIR "/po/ru.po");
    for (const auto& r : rows) {
        ScratchDir dir;
        std::string po = shipped;
        const size_t at = po.find(r.from);
        ASSERT_NE(at, std::string::npos) << r.name;
        writeFile(dir / "ru.po", po.replace(at, std::strlen(r.from), r.to));
        const ProcessResult check = runProcess({BI_SOURCE_DIR "/po/check-catalogs", "--po-dir", dir.path(), "ru"});
        EXPECT_EQ(check.exitStatus, *r.said != '\0' ? 1 : 0) << r.name << "\n" << check.err;
        EXPECT_NE(check.err.find(r.said), std::string::npos) << r.name << "\n" << check.err;
    }
}
