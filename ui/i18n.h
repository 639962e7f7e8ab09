// The window's texts in the user's language: GNU gettext, text domain "bootstrap-installer",
// English as the source, the language taken from LANGUAGE, LC_ALL, LC_MESSAGES and LANG as
// usual. Only the window speaks it: the process's own locale stays "C", so that stage
// messages, log lines and the numbers and system error texts in them stay English whatever
// the user's locale. Without a catalog, or with a broken one, every text stays English.
//
// The catalogs are looked for in <executable's directory>/locale (a bundle, the build tree)
// and then in <executable's directory>/../share/locale (an installed prefix).
#pragma once

#include <cstdarg>
#include <string>

// Marks a text for the catalogs where it is not translated at once; tr translates it where
// it is shown.
#define N_(text) text

namespace bi::ui {

// The translation of `english`, or `english` itself; from any thread. The result lives as
// long as the process.
const char* tr(const char* english);

// The form for n of a text with a singular and a plural, translated.
const char* trn(const char* singular, const char* plural, unsigned long n);

// The same, as an object the GTK plug-in is given: it shares the installer's catalogs and
// locale instead of loading its own.
class Language {
public:
    virtual ~Language() = default;
    virtual const char* tr(const char* english) const = 0;
    virtual const char* trn(const char* singular, const char* plural, unsigned long n) const = 0;
    // printf with the user's number format ("1,5" for 1.5 in German).
    virtual std::string vformat(const char* format, va_list args) const = 0;

    std::string format(const char* format, ...) const __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        std::string text = vformat(format, args);
        va_end(args);
        return text;
    }
};

const Language& userLanguage();

// Reads the language from the environment again; for tests, while no window is open.
void reloadUserLanguage();

}  // namespace bi::ui
