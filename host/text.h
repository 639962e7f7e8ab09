// Small text helpers shared across the installer: printf-style formatting in the "C" locale
// (log lines and stage messages stay English), and hexadecimal.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace bi {

template <typename... Args>
std::string format(const char* fmt, Args... args) {
    const int n = std::snprintf(nullptr, 0, fmt, args...);
    std::string text(static_cast<size_t>(n > 0 ? n : 0), '\0');
    std::snprintf(text.data(), text.size() + 1, fmt, args...);
    return text;
}

// Lower-case hex of the bytes, in order.
std::string hexOf(const unsigned char* bytes, size_t size);
// The bytes of lower-case hex of exactly `size` bytes; nullopt for anything else.
std::optional<std::vector<unsigned char>> bytesOfHex(const std::string& hex, size_t size);

}  // namespace bi
