#include "host/text.h"

namespace bi {

namespace {

constexpr const char* kDigits = "0123456789abcdef";

int valueOf(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    return -1;
}

}  // namespace

std::string hexOf(const unsigned char* bytes, size_t size) {
    std::string hex;
    hex.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0xf];
    }
    return hex;
}

std::optional<std::vector<unsigned char>> bytesOfHex(const std::string& hex, size_t size) {
    if (hex.size() != size * 2) return std::nullopt;
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        const int high = valueOf(hex[2 * i]), low = valueOf(hex[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return bytes;
}

}  // namespace bi
