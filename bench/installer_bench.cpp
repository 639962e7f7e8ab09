// The whole installer, run as a process on bundles made by scripts/make-bundle, against an
// anchor measured in the same run on the same files: curl, unzip and sh. The archives come
// from an nginx on 127.0.0.1 that the benchmark starts itself. Not a test: it prints tables.
//
//   installer_bench [--runs N] [--no-4g | --start-up]
//
// --start-up measures only the shipped road's start-up and memory, in a few seconds.
// Window rows need DISPLAY (run it under scripts/with-xvfb); console rows unset it. Every run
// has HOME and TMPDIR in a scratch directory that is removed at the end.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/inotify.h>
#include <sys/socket.h>

#include "bench_support.h"

using namespace bench;

namespace {

constexpr const char* kStatsLine = "main loop: longest busy stretch ";

// The agent: its first act is a line on standard output.
constexpr const char* kAgentScript = "#!/bin/sh\necho \"agent started: $*\"\n";

struct Setup {
    fs::path scratch, home, tmp, www, work;
    Nginx nginx;
    fs::path downloadApp;  // ships no archive: the download road
    fs::path shippedApp;   // ships the 50 MiB archive of many files
    fs::path tinyApp;      // ships an archive of the agent's `install` alone
    bool display = false;
    int runs = 5;
};

Setup S;

std::string fmt(const char* f, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, f, args...);
    return buf;
}

void sh(const std::string& command) {
    runChild({"/bin/sh", "-c", command}, {.stderrPath = (S.scratch / "sh.err").string()});
}

std::string quote(const fs::path& p) {
    std::string q = "'";
    for (char c : p.string()) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// An agent archive served by nginx: `install` and one STORED file of `size` random bytes,
// streamed through a FIFO so that the data never lies on disk twice.
fs::path makeAgentArchive(const std::string& name, uint64_t size) {
    const fs::path dir = S.scratch / ("agent-" + name);
    fs::create_directories(dir);
    std::ofstream(dir / "install") << kAgentScript;
    const fs::path fifo = dir / "data.bin";
    ::mkfifo(fifo.c_str(), 0600);
    const pid_t writer = ::fork();
    if (writer == 0) {
        writeRandomFile(fifo, size, size);
        ::_exit(0);
    }
    const fs::path archive = S.www / (name + ".zip");
    sh("cd " + quote(dir) + " && zip -q -0 -X -fz -FI " + quote(archive) + " install data.bin");
    ::waitpid(writer, nullptr, 0);
    fs::remove_all(dir);
    return archive;
}

// The shipped archive: `install` and `count` files of random bytes, `total` bytes in all.
fs::path makeManyFilesArchive(int count, uint64_t total) {
    const fs::path dir = S.scratch / "agent-many";
    fs::create_directories(dir / "lib");
    std::ofstream(dir / "install") << kAgentScript;
    for (int i = 0; i < count; ++i) {
        if (i % 100 == 0) fs::create_directories(dir / "lib" / fmt("f%04d", i / 100));
        writeRandomFile(dir / "lib" / fmt("f%04d/part%d.dat", i / 100, i % 100), total / count, 1000 + i);
    }
    const fs::path archive = S.scratch / "many.zip";
    sh("cd " + quote(dir) + " && zip -q -r -X " + quote(archive) + " install lib");
    fs::remove_all(dir);
    return archive;
}

fs::path cacheDir() { return S.home / ".tolvar/app_installer_cache/V0917k/xarc64"; }
fs::path cachedAgent() { return cacheDir() / "installagent"; }
void clearCache() { fs::remove_all(S.home / ".tolvar"); }

// An empty cache made ahead of the run, as the installer would make it, so that the moment
// extraction begins (its staging directory appears there) can be watched with inotify.
int emptyWatchedCache() {
    clearCache();
    fs::path p = S.home;
    for (const auto& part : fs::relative(cacheDir(), S.home)) {
        p /= part;
        ::mkdir(p.c_str(), 0700);
    }
    const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ::inotify_add_watch(fd, cacheDir().c_str(), IN_CREATE);
    return fd;
}

// Reads the watch's events: true once the staging directory ".installagent.XXXXXX" appeared.
bool extractionBegan(int fd) {
    alignas(inotify_event) char buf[4096];
    bool began = false;
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buf + at);
            if (event->len > 0 && std::string(event->name).rfind(".installagent.", 0) == 0) began = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return began;
}

Env installerEnv(const std::string& url, bool window) {
    Env env{{"QV_INTERNAL_INSTALL_AGENT_URL", url}, {"BI_MAIN_LOOP_STATS", "1"}, {"BI_WINDOW", std::nullopt}};
    if (!window) {
        env["DISPLAY"] = std::nullopt;
        env["WAYLAND_DISPLAY"] = std::nullopt;
    }
    return env;
}

std::string installer(const fs::path& app) { return (app / "Contents/MacOS" / app.stem()).string(); }

// The access log's GET lines that a run added, waiting a little for nginx to write them.
std::vector<LogLine> newGets(uintmax_t before, size_t expected) {
    std::vector<LogLine> gets;
    for (int i = 0; i < 200; ++i) {
        gets.clear();
        for (auto& l : readAccessLog(S.nginx.accessLog, before)) {
            if (l.request.rfind("GET ", 0) == 0) gets.push_back(l);
        }
        if (gets.size() >= expected) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return gets;
}
uintmax_t logSize() { return fs::file_size(S.nginx.accessLog); }

// One request's time on an open connection to the server: what one round trip costs here.
double roundTripSeconds() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(S.nginx.port));
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string request = "HEAD /1m.zip HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::vector<double> times;
    for (int i = 0; i < 50; ++i) {
        const auto start = Clock::now();
        if (::send(s, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) break;
        std::string reply;
        char buf[1024];
        while (reply.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            reply.append(buf, static_cast<size_t>(n));
        }
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    ::close(s);
    return median(times);
}

// ---- the tables

struct Row {
    std::string what, installer, anchor, ratio, target;
    std::optional<bool> met;
};

void table(const std::string& title, const std::vector<std::string>& notes, const std::vector<Row>& rows) {
    std::printf("\n### %s\n\n", title.c_str());
    for (const auto& n : notes) std::printf("%s\n", n.c_str());
    if (!notes.empty()) std::printf("\n");
    std::printf("| measure | installer | anchor | ratio | target | met |\n|---|---:|---:|---:|---|---|\n");
    for (const auto& r : rows) {
        std::printf("| %s | %s | %s | %s | %s | %s |\n", r.what.c_str(), r.installer.c_str(), r.anchor.c_str(),
                    r.ratio.c_str(), r.target.c_str(), !r.met ? "" : *r.met ? "yes" : "**no**");
    }
    std::fflush(stdout);
}

std::string ms(double seconds) { return fmt("%.1f ms", seconds * 1000); }
std::string delta(double seconds) { return fmt("%+.1f ms", seconds * 1000); }
std::string secs(double seconds) { return fmt("%.2f s", seconds); }
std::string rate(double bytes, double seconds) { return fmt("%.0f MiB/s", bytes / kMiB / seconds); }
std::string mib(double kib) { return fmt("%.1f MiB", kib / 1024); }

// ---- 1 and 5: the download road on 1 GiB, and the main thread's longest busy stretch

struct RoadRuns {
    std::vector<double> total, download, served, busy;
};

// One download-road run on an empty cache: the whole run, the time until extraction begins,
// nginx's time to send the body, the main thread's longest busy stretch.
void downloadRun(const std::string& file, bool window, RoadRuns& into) {
    const int watch = emptyWatchedCache();
    ::sync();  // no run pays for the writeback of the one before
    const uintmax_t before = logSize();
    const auto r = runChild({installer(S.downloadApp)},
                            {.env = installerEnv(S.nginx.url(file), window),
                             .readStderr = true,
                             .watchFd = watch,
                             .watchHit = extractionBegan});
    ::close(watch);
    into.total.push_back(r.seconds);
    into.download.push_back(r.watchSeconds);
    const auto gets = newGets(before, 1);
    if (!gets.empty()) into.served.push_back(gets.back().requestSeconds);
    if (const auto busy = r.stderrNumberAfter(kStatsLine)) into.busy.push_back(*busy / 1000);
}

void throughputAndResponsiveness(const fs::path& archive) {
    const double size = static_cast<double>(fs::file_size(archive));
    const std::string url = S.nginx.url(archive.filename().string());
    const fs::path curlOut = S.work / "curl.out", unzipped = S.work / "unzipped";
    std::vector<double> curlTotal, curlServed, unzipTotal;
    RoadRuns console, window, consoleSmall, windowSmall;
    for (int i = 0; i <= S.runs; ++i) {  // the first round warms up and is left out
        ::sync();
        const uintmax_t before = logSize();
        const double c = runChild({"/usr/bin/curl", "-s", "-o", curlOut.string(), url}).seconds;
        const auto gets = newGets(before, 1);
        fs::remove(curlOut);
        ::sync();
        const double u = runChild({"/usr/bin/unzip", "-qq", "-o", archive.string(), "-d", unzipped.string()}).seconds;
        fs::remove_all(unzipped);
        RoadRuns scrap;
        downloadRun(archive.filename().string(), false, i == 0 ? scrap : console);
        if (S.display) downloadRun(archive.filename().string(), true, i == 0 ? scrap : window);
        downloadRun("1m.zip", false, i == 0 ? scrap : consoleSmall);
        if (S.display) downloadRun("1m.zip", true, i == 0 ? scrap : windowSmall);
        if (i == 0) continue;
        curlTotal.push_back(c);
        unzipTotal.push_back(u);
        if (!gets.empty()) curlServed.push_back(gets.back().requestSeconds);
    }
    clearCache();

    const double curlRate = size / median(curlTotal);
    const double curlServedRate = size / median(curlServed);
    std::vector<Row> rows;
    rows.push_back({"console: whole run (download, unzip, agent)", secs(median(console.total)),
                    secs(median(curlTotal)) + " + " + secs(median(unzipTotal)),
                    fmt("%.2f", median(console.total) / (median(curlTotal) + median(unzipTotal))), "", {}});
    const double consoleRate = size / median(console.download);
    rows.push_back({"console: download (start to extraction)", rate(size, median(console.download)),
                    rate(size, median(curlTotal)), fmt("%.2f", consoleRate / curlRate), ">= 0.90",
                    consoleRate / curlRate >= 0.90});
    rows.push_back({"console: download as nginx sent it ($request_time)", rate(size, median(console.served)),
                    rate(size, median(curlServed)), fmt("%.2f", size / median(console.served) / curlServedRate),
                    ">= 0.90", size / median(console.served) / curlServedRate >= 0.90});
    if (S.display) {
        rows.push_back({"window: whole run (download, unzip, agent)", secs(median(window.total)),
                        secs(median(curlTotal)) + " + " + secs(median(unzipTotal)),
                        fmt("%.2f", median(window.total) / (median(curlTotal) + median(unzipTotal))), "", {}});
        const double windowDownload = median(window.download);
        rows.push_back({"window: download (start to extraction)", rate(size, windowDownload),
                        rate(size, median(curlTotal)), fmt("%.2f", size / windowDownload / curlRate), ">= 0.85",
                        size / windowDownload / curlRate >= 0.85});
        rows.push_back({"window: download as nginx sent it ($request_time)", rate(size, median(window.served)),
                        rate(size, median(curlServed)), fmt("%.2f", size / median(window.served) / curlServedRate),
                        ">= 0.85", size / median(window.served) / curlServedRate >= 0.85});
    }
    table(fmt("Download road throughput: %.0f MiB archive, one STORED file, empty cache, median of %d",
              size / kMiB, S.runs),
          {"Anchors: `curl -s -o FILE URL` of the same URL, and `unzip -qq -o A -d D` of the same archive",
           "(the installer also extracts). The installer's download part ends when its extraction begins:",
           "the staging directory appearing in the cache, seen with inotify. nginx's $request_time is the",
           "server's view of the same transfer for both programs. Every run starts after a sync()."},
          rows);

    std::vector<Row> busy;
    busy.push_back({"console, 1 GiB download and extraction", ms(maxOf(console.busy)), ms(maxOf(consoleSmall.busy)),
                    fmt("%.2f", maxOf(console.busy) / maxOf(consoleSmall.busy)), "<= 50 ms",
                    maxOf(console.busy) <= 0.050});
    if (S.display) {
        busy.push_back({"window, 1 GiB download and extraction", ms(maxOf(window.busy)), ms(maxOf(windowSmall.busy)),
                        fmt("%.2f", maxOf(window.busy) / maxOf(windowSmall.busy)), "<= 50 ms",
                        maxOf(window.busy) <= 0.050});
    }
    table(fmt("Responsiveness: the main thread's longest busy stretch, worst of %d runs", S.runs),
          {"Printed by the loop itself with BI_MAIN_LOOP_STATS=1: console, the longest queued call or timer;",
           "window, the longest stretch between two polls of GLib's main context (GTK's events and drawing",
           fmt("included). Anchor: the same road on a 1 MiB archive. Medians: console %s, window %s.",
               ms(median(console.busy)).c_str(), S.display ? ms(median(window.busy)).c_str() : "-")},
          busy);
}

// ---- 2: the valid-cache road

void validCache(const fs::path& archive) {
    const double size = static_cast<double>(fs::file_size(archive));
    const std::string url = S.nginx.url(archive.filename().string());
    clearCache();
    runChild({installer(S.downloadApp)}, {.env = installerEnv(url, false)});  // fills the cache
    const double rtt = roundTripSeconds();
    const std::vector<std::string> direct = {"/bin/sh", (cachedAgent() / "install").string(), "-installbundle",
                                             (S.downloadApp / "Contents/Resources/bundle.zip").string()};

    std::vector<double> console, window, anchor, tiny, sent, probe, truth;
    for (int i = 0; i <= S.runs; ++i) {
        const double a = runChild(direct, {.timeFirstLine = true}).firstLineSeconds;
        const double t = runChild({installer(S.tinyApp)}, {.env = installerEnv("", false), .timeFirstLine = true})
                             .firstLineSeconds;
        const double p = runChild({BI_CURL_PROBE}).seconds;
        const double n = runChild({"/bin/true"}).seconds;
        const uintmax_t before = logSize();
        const double c = runChild({installer(S.downloadApp)}, {.env = installerEnv(url, false), .timeFirstLine = true})
                             .firstLineSeconds;
        const auto gets = newGets(before, 1);
        double w = 0;
        if (S.display) {
            w = runChild({installer(S.downloadApp)}, {.env = installerEnv(url, true), .timeFirstLine = true})
                    .firstLineSeconds;
        }
        if (!fs::exists(cachedAgent() / "install")) {
            std::fprintf(stderr, "benchmark: the valid-cache run lost the cached agent\n");
            std::exit(1);
        }
        if (i == 0) continue;
        anchor.push_back(a);
        tiny.push_back(t);
        probe.push_back(p);
        truth.push_back(n);
        console.push_back(c);
        if (S.display) window.push_back(w);
        if (!gets.empty()) sent.push_back(static_cast<double>(gets.back().bodyBytes));
    }
    const double allowed = rtt + 0.005;
    std::vector<Row> rows;
    rows.push_back({"console: start to the agent's first line", ms(median(console)), ms(median(anchor)),
                    delta(median(console) - median(anchor)), "extra <= " + ms(allowed) + " (1 RTT + 5 ms)",
                    median(console) - median(anchor) <= allowed});
    if (S.display) {
        rows.push_back({"window: start to the agent's first line", ms(median(window)), ms(median(anchor)),
                        delta(median(window) - median(anchor)), "extra <= " + ms(allowed) + " (1 RTT + 5 ms)",
                        median(window) - median(anchor) <= allowed});
    }
    rows.push_back({"console, against the installer's shipped road on an archive of `install` alone",
                    ms(median(console)), ms(median(tiny)), delta(median(console) - median(tiny)),
                    "(for information)", {}});
    rows.push_back({"console: body bytes nginx sent (median)", fmt("%.2f MiB", median(sent) / kMiB),
                    fmt("%.0f MiB", size / kMiB), fmt("%.3f%%", 100 * median(sent) / size), "<= 1%",
                    median(sent) <= 0.01 * size});
    rows.push_back({"console: body bytes nginx sent (worst)", fmt("%.2f MiB", maxOf(sent) / kMiB),
                    fmt("%.0f MiB", size / kMiB), fmt("%.3f%%", 100 * maxOf(sent) / size), "<= 1%",
                    maxOf(sent) <= 0.01 * size});
    table(fmt("Valid-cache road: %.0f MiB archive whose ETag matches the cache, median of %d", size / kMiB, S.runs),
          {"Anchor: the shipped-archive road with the agent already extracted, i.e. what both roads run in",
           "the end: `sh <agent>/install -installbundle <bundle.zip>` started directly, timed to the same",
           fmt("first line. One round trip: %.0f us (HEAD on a kept-alive connection, median of 50).", rtt * 1e6),
           "Body bytes: $body_bytes_sent of nginx's access log against the archive's size.",
           fmt("For scale: a program that only links and initialises libcurl runs in %s, /bin/true in %s.",
               ms(median(probe)).c_str(), ms(median(truth)).c_str())},
          rows);
}

// ---- 3: the shipped-archive road

void shippedRoad(const fs::path& archive) {
    const fs::path d = S.work / "D";
    const std::string anchorCommand = "unzip -qq -o " + quote(S.shippedApp / "Contents/Resources/InstallAgent.zip") +
                                      " -d " + quote(d) + " && sh " + quote(d / "install") + " -installbundle " +
                                      quote(S.shippedApp / "Contents/Resources/bundle.zip");
    std::vector<double> inst, anchor, removal;
    const auto runAnchor = [&] {
        ::sync();  // the writeback of earlier runs slows neither side
        const double a = runChild({"/bin/sh", "-c", anchorCommand}).seconds;
        const auto start = Clock::now();
        fs::remove_all(d);
        return std::pair{a, std::chrono::duration<double>(Clock::now() - start).count()};
    };
    const auto runInstaller = [&] {
        ::sync();
        return runChild({installer(S.shippedApp)}, {.env = installerEnv("", false)}).seconds;
    };
    for (int i = 0; i <= S.runs; ++i) {
        // Each goes first every other round, so neither always follows the other's deletions.
        double t = 0;
        if (i % 2 == 1) t = runInstaller();
        const auto [a, rm] = runAnchor();
        if (i % 2 == 0) t = runInstaller();
        if (i == 0) continue;
        anchor.push_back(a);
        inst.push_back(t);
        removal.push_back(rm);
    }
    const double ratio = median(inst) / median(anchor);
    table(fmt("Shipped-archive road: %.0f MiB archive of 5000 files, median of %d",
              static_cast<double>(fs::file_size(archive)) / kMiB, S.runs),
          {"Anchor: `sh -c 'unzip -qq -o A -d D && sh D/install -installbundle B'` on the same archive.",
           "Each run starts after a sync(), and the two take turns going first.",
           fmt("The installer also removes its working directory; removing D takes %s (not in the anchor).",
               ms(median(removal)).c_str())},
          {{"whole run", ms(median(inst)), ms(median(anchor)), fmt("%.3f", ratio), "<= 1.05", ratio <= 1.05}});
}

// ---- 6: start-up and memory of the shipped road, which never loads libcurl

void shippedStartUp() {
    const fs::path app = S.tinyApp, d = S.work / "D";
    const std::string anchorCommand = "unzip -qq -o " + quote(app / "Contents/Resources/InstallAgent.zip") + " -d " +
                                      quote(d) + " && sh " + quote(d / "install") + " -installbundle " +
                                      quote(app / "Contents/Resources/bundle.zip");
    const auto timeInstaller = [&] {
        return runChild({installer(app)}, {.env = installerEnv("", false), .timeFirstLine = true}).firstLineSeconds;
    };
    std::vector<double> inst, anchor, probe, truth, instPeak, anchorPeak, probePeak;
    double anonKiB = 0, fileKiB = 0;
    for (int i = 0; i <= S.runs; ++i) {
        // Each goes first every other round.
        double t = i % 2 == 1 ? timeInstaller() : 0;
        const double a = runChild({"/bin/sh", "-c", anchorCommand}, {.timeFirstLine = true}).firstLineSeconds;
        fs::remove_all(d);
        if (i % 2 == 0) t = timeInstaller();
        const auto m = runChild({installer(app)}, {.env = installerEnv("", false), .traceExit = true});
        const long am = runChild({"/bin/sh", "-c", anchorCommand}).maxRssKiB;
        fs::remove_all(d);
        const auto p = runChild({BI_CURL_PROBE}, {.traceExit = true});
        const double n = runChild({"/bin/true"}).seconds;
        if (i == 0) continue;
        inst.push_back(t);
        anchor.push_back(a);
        probe.push_back(p.seconds);
        truth.push_back(n);
        if (instPeak.empty() || static_cast<double>(m.hwmKiB) > maxOf(instPeak)) {
            anonKiB = static_cast<double>(m.anonKiB);
            fileKiB = static_cast<double>(m.fileKiB);
        }
        instPeak.push_back(static_cast<double>(m.hwmKiB));
        anchorPeak.push_back(static_cast<double>(am));
        probePeak.push_back(static_cast<double>(p.hwmKiB));
    }
    table(fmt("Shipped-archive road start-up: an archive of `install` alone, median of %d (memory: worst)", S.runs),
          {"Anchor: `sh -c 'unzip -qq -o A -d D && sh D/install -installbundle B'`, timed to the agent's first line.",
           "Memory: VmHWM of the installer's own process at its exit (its unzip and sh not counted), against",
           "ru_maxrss of the anchor (its largest process, unzip or sh).",
           fmt("Installer at exit: %s anonymous, %s mapped from files; libcurl is never loaded on this road.",
               mib(anonKiB).c_str(), mib(fileKiB).c_str()),
           fmt("What it would pay for libcurl: a program that only links and initialises it runs in %s, peak %s",
               ms(median(probe)).c_str(), mib(maxOf(probePeak)).c_str()),
           fmt("(/bin/true runs in %s).", ms(median(truth)).c_str())},
          {{"start to the agent's first line", ms(median(inst)), ms(median(anchor)),
            delta(median(inst) - median(anchor)), "", {}},
           {"peak resident memory", mib(maxOf(instPeak)), mib(maxOf(anchorPeak)),
            fmt("%.2f", maxOf(instPeak) / maxOf(anchorPeak)), "", {}}});
}

// ---- 4: memory

struct Peak {
    std::vector<double> installer, curl;
    double anonKiB = 0, fileKiB = 0;  // of the worst run, at its exit
};

Peak peaks(const std::string& file, bool window) {
    Peak p;
    const std::string url = S.nginx.url(file);
    for (int i = 0; i <= S.runs; ++i) {
        clearCache();
        const auto r = runChild({installer(S.downloadApp)}, {.env = installerEnv(url, window), .traceExit = true});
        const fs::path out = S.work / "curl.out";
        const auto c = runChild({"/usr/bin/curl", "-s", "-o", out.string(), url});
        fs::remove(out);
        if (i == 0) continue;
        if (p.installer.empty() || static_cast<double>(r.hwmKiB) > maxOf(p.installer)) {
            p.anonKiB = static_cast<double>(r.anonKiB);
            p.fileKiB = static_cast<double>(r.fileKiB);
        }
        p.installer.push_back(static_cast<double>(r.hwmKiB));
        p.curl.push_back(static_cast<double>(c.maxRssKiB));
    }
    clearCache();
    return p;
}

void memory(bool withBig) {
    std::vector<Row> rows;
    std::vector<std::string> split;
    const auto note = [&](const char* what, const Peak& p) {
        split.push_back(fmt("%s: at exit %s anonymous, %s mapped from files (mostly shared libraries).", what,
                            mib(p.anonKiB).c_str(), mib(p.fileKiB).c_str()));
    };
    const Peak small = peaks("100m.zip", false);
    note("console, 100 MiB", small);
    rows.push_back({"console, 100 MiB archive", mib(maxOf(small.installer)), mib(maxOf(small.curl)),
                    fmt("%.2f", maxOf(small.installer) / maxOf(small.curl)), "<= 12 MiB",
                    maxOf(small.installer) <= 12 * 1024});
    if (withBig) {
        const fs::path big = makeAgentArchive("4g", 4096 * kMiB);
        const Peak large = peaks("4g.zip", false);
        fs::remove(big);
        note("console, 4 GiB", large);
        rows.push_back({"console, 4 GiB archive", mib(maxOf(large.installer)), mib(maxOf(large.curl)),
                        fmt("%.2f", maxOf(large.installer) / maxOf(large.curl)), "<= 12 MiB",
                        maxOf(large.installer) <= 12 * 1024});
        const double growth = maxOf(large.installer) - maxOf(small.installer);
        rows.push_back({"console, growth from 100 MiB to 4 GiB", mib(growth), mib(maxOf(large.curl) - maxOf(small.curl)),
                        "", "<= 2 MiB", growth <= 2 * 1024});
    }
    if (S.display) {
        const Peak w = peaks("100m.zip", true);
        note("window, 100 MiB", w);
        rows.push_back({"window, 100 MiB archive", mib(maxOf(w.installer)), mib(maxOf(w.curl)),
                        fmt("%.2f", maxOf(w.installer) / maxOf(w.curl)), "<= 40 MiB", maxOf(w.installer) <= 40 * 1024});
    }
    std::vector<std::string> notes = {
        "VmHWM of the installer, read when it stops at its exit (ptrace exit event), so that its unzip",
        "and sh children are not counted. Anchor: ru_maxrss of `curl -s -o FILE URL` on the same URL."};
    notes.insert(notes.end(), split.begin(), split.end());
    table(fmt("Peak resident memory of the installer's own process, worst of %d runs", S.runs), notes, rows);
}

}  // namespace

int main(int argc, char** argv) {
    bool withBig = true, startUpOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            S.runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--no-4g") {
            withBig = false;
        } else if (a == "--start-up") {
            startUpOnly = true;
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--no-4g | --start-up]\n", argv[0]);
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const char* display = std::getenv("DISPLAY");
    S.display = display != nullptr && *display != '\0';

    S.scratch = makeScratch("bi-installer-bench");
    S.home = S.scratch / "home";
    S.tmp = S.scratch / "tmp";
    S.www = S.scratch / "www";
    S.work = S.scratch / "work";
    for (const auto& d : {S.home, S.tmp, S.www, S.work}) fs::create_directories(d);
    fs::permissions(S.home, fs::perms::owner_all);
    ::setenv("HOME", S.home.c_str(), 1);
    ::setenv("TMPDIR", S.tmp.c_str(), 1);

    const uint64_t needed = startUpOnly ? 0 : (withBig ? 14ULL : 5ULL) << 30;
    if (freeBytes(S.scratch) < needed) {
        std::fprintf(stderr, "benchmark: needs %.0f GiB free in %s\n", static_cast<double>(needed) / (1 << 30),
                     S.scratch.c_str());
        return 1;
    }

    std::printf("Machine: %s\n", machine().c_str());
    std::printf("Scratch: %s (HOME and TMPDIR of every run)\n", S.scratch.c_str());
    std::printf("Window rows: %s\n", S.display ? "GTK window on DISPLAY" : "none (no DISPLAY)");

    const std::string src = BI_SOURCE_DIR;
    std::ofstream(S.scratch / "README.txt") << "the product\n";
    sh("cd " + quote(S.scratch) + " && zip -q -X bundle.zip README.txt");
    const fs::path apps = S.scratch / "apps";
    fs::create_directories(apps);
    const std::string common = " --bundle-zip " + quote(S.scratch / "bundle.zip") + " --installer " +
                               quote(BI_INSTALLER) + " --splash " + quote(src + "/scripts/demo-agent/splash.png");
    const fs::path tinyDir = S.scratch / "tiny";
    fs::create_directories(tinyDir);
    std::ofstream(tinyDir / "install") << kAgentScript;
    sh("cd " + quote(tinyDir) + " && zip -q -X tiny.zip install");
    S.tinyApp = apps / "Tiny.app";
    sh(quote(src + "/scripts/make-bundle") + " -o " + quote(S.tinyApp) + common + " --agent " +
       quote(tinyDir / "tiny.zip") + " >/dev/null");
    if (startUpOnly) {
        shippedStartUp();
        return 0;
    }

    std::printf("Writing the archives...\n");
    const fs::path gig = makeAgentArchive("1g", 1024 * kMiB);
    makeAgentArchive("100m", 100 * kMiB);
    makeAgentArchive("1m", 1 * kMiB);
    const fs::path many = makeManyFilesArchive(5000, 50 * kMiB);
    S.nginx = startNginx(S.www, S.scratch / "nginx");

    S.downloadApp = apps / "Download.app";
    S.shippedApp = apps / "Shipped.app";
    sh(quote(src + "/scripts/make-bundle") + " -o " + quote(S.downloadApp) + common + " --url " +
       S.nginx.url("unused.zip") + " >/dev/null");
    sh(quote(src + "/scripts/make-bundle") + " -o " + quote(S.shippedApp) + common + " --agent " + quote(many) +
       " >/dev/null");
    fs::remove(many);

    throughputAndResponsiveness(gig);
    validCache(gig);
    shippedRoad(S.shippedApp / "Contents/Resources/InstallAgent.zip");
    shippedStartUp();
    memory(withBig);
    return 0;
}
