// The window's texts: in the user's language (stage messages and log lines stay English), and
// formatted like printf.
#pragma once

#include <cstdio>
#include <string>

#include "ui/i18n.h"

namespace bi {

using ui::tr;

template <typename... Args>
std::string format(const char* fmt, Args... args) {
    const int n = std::snprintf(nullptr, 0, fmt, args...);
    std::string text(static_cast<size_t>(n > 0 ? n : 0), '\0');
    std::snprintf(text.data(), text.size() + 1, fmt, args...);
    return text;
}

}  // namespace bi
