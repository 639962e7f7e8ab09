// Arguments of any bytes (the input, split at NUL bytes), quoted as unzip's command line
// quotes its paths and run through the real sh: printf '%s\0' gives every one back byte for
// byte, and nothing else.
#include <unistd.h>

#include <cstdlib>

#include "fuzz.h"
#include "host/shell.h"

using namespace bi;

FUZZ_TARGET(data) {
    std::string line = "printf '%s\\0' ", expected;
    for (size_t at = 0, args = 0; at <= data.size() && args < 64; ++args) {
        const size_t end = std::min(data.find('\0', at), data.size());
        line += shellQuote(data.substr(at, end - at)) + " ";
        expected += data.substr(at, end - at) + '\0';
        at = end + 1;
    }
    static const std::string out = fuzz::scratch() + "/out";
    ::unlink(out.c_str());
    FUZZ_CHECK(std::system((line + ">" + shellQuote(out)).c_str()) == 0, line);
    std::FILE* file = std::fopen(out.c_str(), "rb");
    std::string got(expected.size() + 1, '\0');
    got.resize(file != nullptr ? std::fread(got.data(), 1, got.size(), file) : 0);
    if (file != nullptr) std::fclose(file);
    FUZZ_CHECK(got == expected, line);
}
