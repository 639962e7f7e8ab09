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

#include <sys/inotify.h>

#include "installer_bench.h"

using namespace bi;

using namespace bench;

namespace bi::bench {

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

// ---- the tables

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
    const std::vector<std::string> direct = {"/bin/sh", (cachedAgent() / "install").string(), "-installbundle",
                                             (S.downloadApp / "Contents/Resources/bundle.zip").string()};

    std::vector<double> console, window, anchor, head, sent, probe;
    for (int i = 0; i <= S.runs; ++i) {
        const double a = runChild(direct, {.timeFirstLine = true}).firstLineSeconds;
        const double h = runChild({"/usr/bin/curl", "-sI", "-o", "/dev/null", url}).seconds;
        const double p = runChild({BI_CURL_PROBE}).seconds;
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
        anchor.push_back(a + h);
        head.push_back(h);
        probe.push_back(p);
        console.push_back(c);
        if (S.display) window.push_back(w);
        if (!gets.empty()) sent.push_back(static_cast<double>(gets.back().bodyBytes));
    }
    const auto extra = [&](const std::vector<double>& v) { return median(v) - median(anchor); };
    std::vector<Row> rows;
    rows.push_back({"console: start to the agent's first line", ms(median(console)), ms(median(anchor)),
                    delta(extra(console)), "extra <= 5 ms", extra(console) <= 0.005});
    if (S.display) {
        rows.push_back({"window: start to the agent's first line", ms(median(window)), ms(median(anchor)),
                        delta(extra(window)), "(for information)", {}});
    }
    rows.push_back({"console: body bytes nginx sent (worst)", fmt("%.0f B", maxOf(sent)), fmt("%.0f MiB", size / kMiB),
                    fmt("%.4f%%", 100 * maxOf(sent) / size), "0 B", maxOf(sent) == 0});
    table(fmt("Valid-cache road: %.0f MiB archive whose ETag matches the cache, median of %d", size / kMiB, S.runs),
          {"The installer asks with If-None-Match and gets 304. Anchor: `curl -sI URL` (the same question, one",
           fmt("round trip: %s) plus `sh <agent>/install -installbundle <bundle.zip>` started directly, timed to", ms(median(head)).c_str()),
           "the same first line. Body bytes: $body_bytes_sent of nginx's access log for the installer's request.",
           fmt("For scale: a program that only links and initialises libcurl runs in %s.", ms(median(probe)).c_str())},
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

Peak peaks(const std::string& file, bool window, const fs::path& app = S.downloadApp) {
    Peak p;
    const std::string url = S.nginx.url(file);
    for (int i = 0; i <= S.runs; ++i) {
        clearCache();
        const auto r = runChild({installer(app)}, {.env = installerEnv(url, window), .traceExit = true});
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
    // The signed road (it hashes the archive and checks its signature) beside the unsigned one.
    const fs::path signedApp = S.scratch / "apps/Signed.app";
    const auto measure = [&](const std::string& size, const std::string& file, std::vector<Peak>& into) {
        into.push_back(peaks(file, false));
        note(("console, " + size).c_str(), into.back());
        rows.push_back({"console, " + size + " archive", mib(maxOf(into.back().installer)), mib(maxOf(into.back().curl)),
                        fmt("%.2f", maxOf(into.back().installer) / maxOf(into.back().curl)), "<= 12 MiB",
                        maxOf(into.back().installer) <= 12 * 1024});
        if (!fs::exists(signedApp)) return;
        into.push_back(peaks(file, false, signedApp));
        rows.push_back({"console, signed, " + size + " archive", mib(maxOf(into.back().installer)),
                        mib(maxOf(into.back().curl)), fmt("%.2f", maxOf(into.back().installer) / maxOf(into.back().curl)),
                        "", {}});
    };
    std::vector<Peak> small, large;
    if (fs::exists(signedApp)) signArchive(S.www / "100m.zip");
    measure("100 MiB", "100m.zip", small);
    if (withBig) {
        const fs::path big = makeAgentArchive("4g", 4096 * kMiB);
        if (fs::exists(signedApp)) signArchive(big);
        measure("4 GiB", "4g.zip", large);
        fs::remove(big);
        fs::remove(big.string() + ".minisig");
        for (size_t i = 0; i < large.size(); ++i) {
            const double growth = maxOf(large[i].installer) - maxOf(small[i].installer);
            rows.push_back({i == 0 ? "console, growth from 100 MiB to 4 GiB" : "console, signed, growth from 100 MiB to 4 GiB",
                            mib(growth), mib(maxOf(large[i].curl) - maxOf(small[i].curl)), "", "<= 2 MiB",
                            growth <= 2 * 1024});
        }
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

}  // namespace bi::bench

int main(int argc, char** argv) {
    bool withBig = true, startUpOnly = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            S.runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--no-4g") {
            withBig = false;
        } else if (a == "--start-up") {
            startUpOnly = true;
        } else if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--no-4g | --start-up | --only SECTION,...]\n", argv[0]);
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
    S.makeBundle = quote(src + "/scripts/make-bundle") + common;
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

    const std::vector<std::pair<std::string, std::function<void()>>> sections = {
        {"throughput", [&] { throughputAndResponsiveness(gig); }},
        {"valid-cache", [&] { validCache(gig); }},
        {"shipped", [&] { shippedRoad(S.shippedApp / "Contents/Resources/InstallAgent.zip"); }},
        {"start-up", [&] { shippedStartUp(); }},
        {"signed", [&] { signedRoad(gig); }},
        {"broken", [&] { brokenConnections(gig); }},
        {"interrupted", [&] { interruptedRun(gig); }},
        {"together", [&] { together(gig); }},
        {"memory", [&] { memory(withBig); }},
    };
    for (const auto& [name, section] : sections) {
        if (only.empty() || ("," + only + ",").find("," + name + ",") != std::string::npos) section();
    }
    return 0;
}
