// What the benchmarks add to the tests' helpers (processes, nginx, scratch directories, bundles):
// rounds measured after a warm-up, and tables of each figure against an anchor of the same run.
#pragma once

#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "nginx.h"
#include "support.h"

namespace bi::bench {

namespace fs = std::filesystem;
using namespace testsupport;
using Clock = std::chrono::steady_clock;
constexpr uint64_t kMiB = 1 << 20;

template <typename... Args>
std::string fmt(const char* f, Args... args) {
    char buf[512];
    std::snprintf(buf, sizeof buf, f, args...);
    return buf;
}

inline double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

[[noreturn]] inline void die(const std::string& what) {
    std::fprintf(stderr, "benchmark: %s\n", what.c_str());
    std::exit(1);
}

// A scratch directory for the whole run, removed at exit, also when SIGINT, SIGTERM or SIGHUP
// ends the benchmark (the child it was running gets SIGTERM then: see runProcess).
inline std::string benchScratch() {
    static const ScratchDir dir;
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) ::signal(signo, [](int s) { std::exit(128 + s); });
    return dir.path();
}

// Runs argv to its end; a status other than 0 ends the benchmark unless mayFail.
inline ProcessResult run(const std::vector<std::string>& argv, ProcessOptions options = {}, bool mayFail = false) {
    options.timeout = std::chrono::hours(2);
    ProcessResult r = runProcess(argv, options);
    if (r.exitStatus == 0 || mayFail) return r;
    std::string line;
    for (const auto& a : argv) line += a + " ";
    die("status " + std::to_string(r.exitStatus) + ": " + line + "\n" + r.err);
}

struct Memory {
    double hwmKiB = -1, anonKiB = -1, fileKiB = -1;
};
// Runs argv, reading its own VmHWM, RssAnon and RssFile at its exit: its children not counted.
inline Memory ownMemory(const std::vector<std::string>& argv, ProcessOptions options = {}) {
    Memory m;
    options.atExit = [&m](pid_t pid) {
        const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
        const auto kib = [&](const std::string& field) {
            const auto at = status.find("\n" + field + ":");
            return at == std::string::npos ? -1 : std::strtod(status.c_str() + at + field.size() + 2, nullptr);
        };
        m = {kib("VmHWM"), kib("RssAnon"), kib("RssFile")};
    };
    run(argv, options);
    return m;
}

// Bytes that no layer between server and file could shrink.
inline std::string randomBytes(size_t n, uint64_t seed) {
    std::string s(n + 8, '\0');
    uint64_t x = 0x9e3779b97f4a7c15ULL ^ (seed * 0xbf58476d1ce4e5b9ULL);
    for (size_t i = 0; i < n; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(&s[i], &x, 8);
    }
    s.resize(n);
    return s;
}

inline void writeRandomFile(const std::string& path, uint64_t size, uint64_t seed = 1) {
    std::ofstream out(path, std::ios::binary);
    for (uint64_t done = 0; done < size; done += kMiB) out << randomBytes(std::min(kMiB, size - done), seed + done);
    if (!out.flush()) die("cannot write " + path);
}

// Figures by name, each with one value per measured round.
struct Figures : std::map<std::string, std::vector<double>> {
    void add(const std::string& name, double value) { (*this)[name].push_back(value); }
    double median(const std::string& name) const {
        auto v = at(name);
        std::sort(v.begin(), v.end());
        return (v[(v.size() - 1) / 2] + v[v.size() / 2]) / 2;
    }
    double worst(const std::string& name) const { return *std::ranges::max_element(at(name)); }
    // The value of `name` in the round where `by` was largest.
    double ofWorst(const std::string& name, const std::string& by) const {
        return at(name)[static_cast<size_t>(std::ranges::max_element(at(by)) - at(by).begin())];
    }
};

// Runs measure(figures, i) for warmUp + runs rounds; only the last `runs` rounds' figures are kept.
inline Figures rounds(int runs, const std::function<void(Figures&, int)>& measure, int warmUp = 1) {
    Figures kept, dropped;
    for (int i = 0; i < warmUp + runs; ++i) measure(i < warmUp ? dropped : kept, i);
    return kept;
}

inline std::string ms(double seconds) { return fmt("%.1f ms", seconds * 1000); }
inline std::string secs(double seconds) { return fmt("%.2f s", seconds); }
inline std::string rate(double bytes, double seconds) { return fmt("%.0f MiB/s", bytes / kMiB / seconds); }
inline std::string mib(double kib) { return fmt("%.1f MiB", kib / 1024); }
inline std::string times(double ratio) { return fmt("%.3fx", ratio); }

struct Row {
    std::string what, mine, anchor, ratio, target;
    std::optional<double> checked;  // the figure the target is about, in the target's unit
};

// Whether figure meets target: "<= 1.05", ">= 0.90", "< 1 (faster)", "extra <= 5 ms", or a bare
// number it must equal; none without a figure or a number.
inline std::optional<bool> meets(const std::string& target, std::optional<double> figure) {
    const auto op = target.find_first_of("<>"), number = target.find_first_of("0123456789");
    if (!figure || number == std::string::npos) return std::nullopt;
    const double limit = std::stod(target.substr(number));
    if (op == std::string::npos || (target[op + 1] == '=' && *figure == limit)) return *figure == limit;
    return target[op] == '<' ? *figure < limit : *figure > limit;
}

inline void table(const std::string& title, const std::vector<std::string>& notes, const std::vector<Row>& rows,
                  const std::string& columns = "installer | anchor") {
    std::printf("\n### %s\n\n", title.c_str());
    for (const auto& n : notes) std::printf("%s\n", n.c_str());
    std::printf("%s| measure | %s | ratio | target | met |\n|---|---:|---:|---:|---|---|\n", notes.empty() ? "" : "\n",
                columns.c_str());
    for (const auto& r : rows) {
        const auto met = meets(r.target, r.checked);
        std::printf("| %s | %s | %s | %s | %s | %s |\n", r.what.c_str(), r.mine.c_str(), r.anchor.c_str(),
                    r.ratio.c_str(), r.target.c_str(),
                    !met   ? ""
                    : *met ? "yes"
                           : "**no**");
    }
}

// CPU model, cores, memory and kernel, one line.
inline std::string machine() {
    const auto field = [](const std::string& file, const std::string& name) {
        std::istringstream in(readFile(file));
        for (std::string line; std::getline(in, line);) {
            if (line.starts_with(name)) return line.substr(line.find_first_not_of(" \t", line.find(':') + 1));
        }
        return std::string("0");
    };
    utsname u{};
    ::uname(&u);
    return fmt("%s, %ld cores, %.1f GiB memory, Linux %s %s", field("/proc/cpuinfo", "model name").c_str(),
               ::sysconf(_SC_NPROCESSORS_ONLN), std::stod(field("/proc/meminfo", "MemTotal")) / (1 << 20), u.release,
               u.machine);
}

}  // namespace bi::bench
