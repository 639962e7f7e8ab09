// What every fuzz target shares. A target is one file that defines FUZZ_TARGET(data) (data: the
// input as a std::string) and checks its properties with FUZZ_CHECK; a failed check aborts, so
// that libFuzzer keeps the input as a finding and prints its path.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/temp_dir.h"

namespace bi::fuzz {

[[noreturn]] inline void finding(const char* check, const std::string& detail) {
    std::fprintf(stderr, "fuzz finding: %s\n  %s\n", check, detail.c_str());
    std::abort();
}

// A private directory under TMPDIR for the files a target reads, removed when the run ends
// (scripts/fuzz also gives each run a TMPDIR of its own, for a run that ends by a finding).
inline const std::string& scratch() {
    static const std::string* const dir = [] {  // never destroyed: removed at exit
        const char* tmp = std::getenv("TMPDIR");
        auto* made = new std::string(std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fuzzXXXXXX");
        if (::mkdtemp(made->data()) == nullptr) finding("mkdtemp", *made);
        std::atexit([] { removeTree(scratch()); });
        return made;
    }();
    return *dir;
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
