// The window's texts: translated for the person at the window, formatted like printf.
#pragma once

#include <cstdio>
#include <string>

// The text in the user's language; English when there is no translation.
inline const char* tr(const char* english) { return english; }

template <typename... Args>
std::string format(const char* fmt, Args... args) {
    const int n = std::snprintf(nullptr, 0, fmt, args...);
    std::string text(static_cast<size_t>(n > 0 ? n : 0), '\0');
    std::snprintf(text.data(), text.size() + 1, fmt, args...);
    return text;
}
