// Arguments of any bytes (the input, split at NUL bytes), quoted as the agent's command line
// quotes them and run through the real sh by the installer's own runShell: printf '%s\0'
// gives every one back byte for byte, and nothing else.
#include <unistd.h>

#include "fuzz.h"
#include "host/shell.h"

using namespace bi;

FUZZ_TARGET(data) {
    std::vector<std::string> args{"sh"};
    for (size_t at = 0; at <= data.size() && args.size() <= 64;) {
        const size_t end = std::min(data.find('\0', at), data.size());
        args.push_back(data.substr(at, end - at));
        at = end + 1;
    }
    std::vector<const char*> argv;
    std::string expected;
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
        if (argv.size() > 1) expected += arg + '\0';
    }
    static const std::string out = fuzz::scratch() + "/out";
    const std::string line = "printf '%s\\0' " + quoteArguments(static_cast<int>(argv.size()), argv.data());
    ::unlink(out.c_str());
    FUZZ_CHECK(runShell(line + ">" + shellQuote(out)) == 0, line);
    std::FILE* file = std::fopen(out.c_str(), "rb");
    std::string got(expected.size() + 1, '\0');
    got.resize(file != nullptr ? std::fread(got.data(), 1, got.size(), file) : 0);
    if (file != nullptr) std::fclose(file);
    FUZZ_CHECK(got == expected, line);
}
