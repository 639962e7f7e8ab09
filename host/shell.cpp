#include "host/shell.h"

#include <cstdlib>

namespace {

bool isPlainWordByte(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '@': case '%': case '+': case '=': case ':': case ',': case '.': case '/': case '_': case '-':
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string smart_quote(std::string text) {
    bool plain = !text.empty();
    for (const char c : text) plain = plain && isPlainWordByte(static_cast<unsigned char>(c));
    if (plain) return text;

    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string argv2cmdline(int argc, const char* const argv[]) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        line += smart_quote(argv[i]);
        line += ' ';
    }
    return line;
}

int call_system(std::string /*program*/, std::string commandLine) { return std::system(commandLine.c_str()); }
