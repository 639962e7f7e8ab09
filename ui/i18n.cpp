#include "ui/i18n.h"

#include <libintl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "platform/bundle.h"

// glibc's count of catalog changes: raising it makes gettext forget the translations it has
// looked up, which it keys by the locale's name and not by LANGUAGE.
extern "C" int _nl_msg_cat_cntr;

namespace bi::ui {
namespace {

constexpr const char* kTextDomain = "bootstrap-installer";

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Beside the executable (a bundle, the build tree), or in the installed prefix's share/.
std::string catalogDirectory() {
    const auto exe = platform::executablePath();
    if (!exe) return {};
    const std::string dir = exe->substr(0, exe->find_last_of('/') + 1);
    return isDirectory(dir + "locale") ? dir + "locale" : dir + "../share/locale";
}

// The user's locale for messages and numbers, one category at a time, so that a category
// whose locale is not installed stays "C" without taking the other with it.
locale_t loadUserLocale() {
    locale_t locale = ::newlocale(LC_ALL_MASK, "C", nullptr);
    for (const int mask : {LC_MESSAGES_MASK, LC_NUMERIC_MASK}) {
        if (locale_t more = ::newlocale(mask, "", locale)) locale = more;
    }
    return locale;
}

// The user's locale on the calling thread for as long as it lives.
class InUserLocale {
public:
    explicit InUserLocale(locale_t locale) : previous_(::uselocale(locale)) {}
    ~InUserLocale() { ::uselocale(previous_); }
    InUserLocale(const InUserLocale&) = delete;
    InUserLocale& operator=(const InUserLocale&) = delete;

private:
    locale_t previous_;
};

class UserLanguage final : public Language {
public:
    UserLanguage() {
        const std::string dir = catalogDirectory();
        if (!dir.empty()) ::bindtextdomain(kTextDomain, dir.c_str());
        ::bind_textdomain_codeset(kTextDomain, "UTF-8");
        locale_ = loadUserLocale();
    }
    void reload() {
        locale_t old = locale_;
        locale_ = loadUserLocale();
        if (old != nullptr) ::freelocale(old);
        ++_nl_msg_cat_cntr;
    }

    const char* tr(const char* english) const override {
        // gettext("") would be the catalog's header.
        if (english == nullptr || *english == '\0' || locale_ == nullptr) return english;
        const InUserLocale scope(locale_);
        return ::dgettext(kTextDomain, english);
    }

    const char* trn(const char* singular, const char* plural, unsigned long n) const override {
        if (locale_ == nullptr) return n == 1 ? singular : plural;
        const InUserLocale scope(locale_);
        return ::dngettext(kTextDomain, singular, plural, n);
    }

    std::string vformat(const char* format, va_list args) const override {
        const InUserLocale scope(locale_ != nullptr ? locale_ : LC_GLOBAL_LOCALE);
        va_list again;
        va_copy(again, args);
        const int n = std::vsnprintf(nullptr, 0, format, args);
        std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
        if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
        va_end(again);
        return text;
    }

private:
    locale_t locale_ = nullptr;
};

// Never destroyed: a thread may still translate while the process exits.
UserLanguage& theUserLanguage() {
    static UserLanguage* const language = new UserLanguage;
    return *language;
}

}  // namespace

const Language& userLanguage() { return theUserLanguage(); }

void reloadUserLanguage() { theUserLanguage().reload(); }

const char* tr(const char* english) { return userLanguage().tr(english); }

const char* trn(const char* singular, const char* plural, unsigned long n) {
    return userLanguage().trn(singular, plural, n);
}

}  // namespace bi::ui
