// What every fuzz target shares. A target is one file that defines FUZZ_TARGET(data) (data: the
// input as a std::string) and checks its properties with FUZZ_CHECK; a failed check aborts, so
// that libFuzzer keeps the input as a finding and prints its path.
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bi::fuzz {

[[noreturn]] inline void finding(const char* check, const std::string& detail) {
    std::fprintf(stderr, "fuzz finding: %s\n  %s\n", check, detail.c_str());
    std::abort();
}

// The input's lines, without their line feeds.
inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        out.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// A private directory under TMPDIR for the files a target reads, removed when the run ends
// (scripts/fuzz also gives each run a TMPDIR of its own, for a run that ends by a finding).
inline const std::string& scratch() {
    static const std::string dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fuzzXXXXXX";
        if (::mkdtemp(templ.data()) == nullptr) finding("mkdtemp", templ);
        std::atexit([] {
            ::nftw(
                scratch().c_str(), [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); }, 16,
                FTW_DEPTH | FTW_PHYS);
        });
        return templ;
    }();
    return dir;
}

// A new file each time: ext4 flushes a file rewritten in place or renamed over another.
inline void writeFile(const std::string& path, const std::string& text) {
    ::unlink(path.c_str());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size()) finding("write", path);
    std::fclose(file);
}

}  // namespace bi::fuzz

#define FUZZ_CHECK(condition, detail) ((condition) ? (void)0 : ::bi::fuzz::finding(#condition, std::string(detail)))

#define FUZZ_TARGET(data)                                                      \
    static void fuzzOne(const std::string& data);                              \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) { \
        fuzzOne(std::string(reinterpret_cast<const char*>(bytes), size));      \
        return 0;                                                              \
    }                                                                          \
    static void fuzzOne(const std::string& data)
