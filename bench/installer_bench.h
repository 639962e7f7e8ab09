// What the installer benchmark's sections share: the scratch set-up, the bundles, nginx, the
// archives, and the tables they print.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"

namespace bi {

namespace bench {

inline constexpr const char* kStatsLine = "main loop: longest busy stretch ";

// The agent: its first act is a line on standard output.
inline constexpr const char* kAgentScript = "#!/bin/sh\necho \"agent started: $*\"\n";

struct Setup {
    fs::path scratch, home, tmp, www, work;
    Nginx nginx;
    fs::path downloadApp;  // ships no archive: the download road
    fs::path shippedApp;   // ships the 50 MiB archive of many files
    fs::path tinyApp;      // ships an archive of the agent's `install` alone
    std::string makeBundle;  // the command that makes a bundle, up to its options
    bool display = false;
    int runs = 5;
};

inline Setup S;

template <typename... Args>
std::string fmt(const char* f, Args... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, f, args...);
    return buf;
}

void sh(const std::string& command);
std::string quote(const fs::path& p);
// An agent archive served by nginx: `install` and one STORED file of `size` random bytes.
fs::path makeAgentArchive(const std::string& name, uint64_t size);
fs::path cacheDir();
fs::path cachedAgent();
void clearCache();
Env installerEnv(const std::string& url, bool window);
std::string installer(const fs::path& app);
// The access log's GET lines that a run added, waiting a little for nginx to write them.
std::vector<LogLine> newGets(uintmax_t before, size_t expected);
uintmax_t logSize();

struct Row {
    std::string what, installer, anchor, ratio, target;
    std::optional<bool> met;
};
void table(const std::string& title, const std::vector<std::string>& notes, const std::vector<Row>& rows);
std::string ms(double seconds);
std::string delta(double seconds);
std::string secs(double seconds);
std::string rate(double bytes, double seconds);
std::string mib(double kib);

// The bench's minisign key pair, made once, signs archive (ARCHIVE.minisig beside it).
void signArchive(const fs::path& archive);

// network_rows.cpp: signatures, broken connections, interrupted runs, installers together.
void signedRoad(const fs::path& archive);
void brokenConnections(const fs::path& archive);
void interruptedRun(const fs::path& archive);
void together(const fs::path& archive);

}  // namespace bench

}  // namespace bi
