// The whole installer, run as a process on bundles made by scripts/make-bundle, against an
// anchor measured in the same run on the same files: curl, unzip, minisign and sh. The archives
// come from an nginx on 127.0.0.1 that the benchmark starts itself. Not a test: it prints tables.
//
//   installer_bench [--runs N] [--no-4g] [--only SECTION,...] [--baseline INSTALLER]
//
// --baseline: another build of the installer (an earlier commit's) whose signed road the
// signed section runs beside this one's, on the same archive.
//
// Window rows need DISPLAY (run it under scripts/with-xvfb); console rows unset it. Every run
// has HOME and TMPDIR in a scratch directory that is removed at the end. Archives, bundles and
// nginx are made when a section first needs them, so that a section alone starts at once.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <future>
#include <thread>

#include "bench.h"

namespace bi::bench {
namespace {

constexpr const char* kStatsLine = "main loop: longest busy stretch ";
// The agent: its first act is a line on standard output.
constexpr const char* kAgentScript = "#!/bin/sh\necho \"agent started: $*\"\n";

struct {
    std::string scratch, home, www, work, baseline;
    bool display = false, withBig = true;
    int runs = 5;
} S;

// ---- what the sections share, each made once

const Nginx& nginx() {
    static const Nginx server(S.www, "access_log " + S.scratch + "/access.log timed;");
    return server;
}
std::string url(const std::string& file) { return nginx().url(file); }

// A directory holding the agent's `install`, to be zipped.
std::string agentDir() {
    writeFile(S.scratch + "/agent/install", kAgentScript);
    return S.scratch + "/agent";
}

// An agent archive served by nginx: `install` and one STORED file of `size` random bytes,
// streamed through a FIFO so that the data never lies on disk twice.
std::string agentArchive(const std::string& name, uint64_t size) {
    const std::string archive = S.www + "/" + name + ".zip";
    if (fs::exists(archive)) return archive;
    std::printf("Writing %s...\n", archive.c_str());
    const std::string dir = agentDir();
    ::mkfifo((dir + "/data.bin").c_str(), 0600);
    std::thread writer([&] { writeRandomFile(dir + "/data.bin", size, size); });
    run({"/usr/bin/zip", "-q", "-0", "-X", "-fz", "-FI", archive, "install", "data.bin"}, {.cwd = dir});
    writer.join();
    fs::remove_all(dir);
    return archive;
}
std::string gig() { return agentArchive("1g", 1024 * kMiB); }

// The bench's minisign key pair: its public key.
std::string publicKey() {
    const std::string keys = S.scratch + "/keys";
    if (!fs::exists(keys + "/key.pub")) {
        fs::create_directories(keys);
        run({"/usr/bin/minisign", "-G", "-W", "-p", keys + "/key.pub", "-s", keys + "/key.sec"});
    }
    return keys + "/key.pub";
}
void sign(const std::string& archive) {
    publicKey();
    if (!fs::exists(archive + ".minisig"))
        run({"/usr/bin/minisign", "-S", "-s", S.scratch + "/keys/key.sec", "-m", archive});
}

// A bundle as the tests make it, with the window's splash; it ships the agent in directory
// `agent` as its archive, or else downloads from QV_INTERNAL_INSTALL_AGENT_URL.
Bundle bundle(const std::string& name, const std::string& agent = "") {
    const Bundle b = makeBundle(BI_INSTALLER, S.scratch + "/apps", name);
    fs::copy_file(BI_SOURCE_DIR "/scripts/demo-agent/splash.png", b.resources + "/splash.png");
    if (agent.empty()) {
        writeFile(b.resources + "/installAgentURL.txt", "http://127.0.0.1:9/unused.zip\n");
    } else {
        run({"/usr/bin/zip", "-q", "-r", "-X", b.resources + "/InstallAgent.zip", "."}, {.cwd = agent});
        fs::remove_all(agent);
    }
    return b;
}
const Bundle& downloadApp() {
    static const Bundle b = bundle("Download.app");
    return b;
}
const Bundle& signedApp() {
    static const Bundle b = bundle("Signed.app");
    if (!fs::exists(b.resources + "/installAgentKey.pub"))
        fs::copy_file(publicKey(), b.resources + "/installAgentKey.pub");
    return b;
}
// The same bundle around the --baseline installer.
const Bundle& baselineSignedApp() {
    static const Bundle b = [] {
        const Bundle made = makeBundle(S.baseline, S.scratch + "/apps", "Baseline.app");
        writeFile(made.resources + "/installAgentURL.txt", "http://127.0.0.1:9/unused.zip\n");
        fs::copy_file(publicKey(), made.resources + "/installAgentKey.pub");
        return made;
    }();
    return b;
}
// Ships 50 MiB in 5000 files.
const Bundle& shippedApp() {
    static const Bundle b = [] {
        const std::string dir = agentDir();
        for (int i = 0; i < 5000; ++i) {
            writeFile(dir + fmt("/lib/f%04d/part%d.dat", i / 100, i % 100), randomBytes(10485, 1000 + i));
        }
        return bundle("Shipped.app", dir);
    }();
    return b;
}
// Ships an archive of the agent's `install` alone.
const Bundle& tinyApp() {
    static const Bundle b = bundle("Tiny.app", agentDir());
    return b;
}

// The shipped road's anchor: unzip the bundle's archive into d, then start the agent from there.
std::vector<std::string> unzipThenAgent(const Bundle& app, const std::string& d) {
    return {"/bin/sh",
            "-c",
            "unzip -qq -o \"$1\" -d \"$2\" && sh \"$2/install\" -installbundle \"$3\"",
            "sh",
            app.resources + "/InstallAgent.zip",
            d,
            app.resources + "/bundle.zip"};
}

std::string cacheDir() { return S.home + "/.tolvar/app_installer_cache/V0917k/xarc64"; }
void clearCache() { fs::remove_all(S.home + "/.tolvar"); }

// The installer's options: on the console unless window, the agent from url, the loop's stats on.
ProcessOptions installer(const std::string& url, bool window = false) {
    ProcessOptions o{
        .env = {{"QV_INTERNAL_INSTALL_AGENT_URL", url}, {"BI_MAIN_LOOP_STATS", "1"}, {"BI_WINDOW", std::nullopt}}};
    if (!window) o.env["DISPLAY"] = o.env["WAYLAND_DISPLAY"] = std::nullopt;
    return o;
}
// A run on an empty cache, after a sync() so that no run pays for the writeback of the one before.
ProcessResult fresh(const Bundle& app, const ProcessOptions& options, bool mayFail = false) {
    clearCache();
    ::sync();
    return run({app.executable}, options, mayFail);
}

// ---- nginx's view: "STATUS BODY_BYTES_SENT REQUEST_TIME "REQUEST"" per request

struct Served {
    int status = 0;
    double bytes = 0, seconds = 0;
    bool keys = false;  // a request for key statements
};
uintmax_t logSize() {
    nginx();  // started, so that its log is there
    return fs::file_size(S.scratch + "/access.log");
}
// The GETs logged past `from` bytes, waiting a little for nginx to log `expected` of them.
std::vector<Served> gets(uintmax_t from, size_t expected) {
    std::vector<Served> found;
    for (int i = 0; i < 200 && found.size() < expected; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        found.clear();
        std::istringstream log(readFile(S.scratch + "/access.log").substr(from));
        for (std::string line; std::getline(log, line);) {
            Served s;
            std::istringstream(line) >> s.status >> s.bytes >> s.seconds;
            s.keys = line.find(".keys ") != std::string::npos;
            if (line.find("\"GET ") != std::string::npos) found.push_back(s);
        }
    }
    if (found.empty()) die("nginx logged no request");
    return found;
}
double sent(uintmax_t from, size_t expected) {
    double bytes = 0;
    for (const auto& s : gets(from, expected)) bytes += s.bytes;
    return bytes;
}

// ---- 1 and 5: the download road on 1 GiB, and the main thread's longest busy stretch

std::vector<std::string> modes() {
    return S.display ? std::vector<std::string>{"console", "window"} : std::vector<std::string>{"console"};
}

// Seconds from start until the staging directory ".installagent.XXXXXX" appears in the watched
// cache, polled while pid runs; -1 if it never does.
double extractionBegins(int watch, pid_t pid, Clock::time_point start) {
    alignas(inotify_event) char buf[4096];
    for (pollfd p{watch, POLLIN, 0}; ::kill(pid, 0) == 0;) {
        if (::poll(&p, 1, 50) <= 0) continue;
        const double now = since(start);
        for (ssize_t n = ::read(watch, buf, sizeof buf), at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buf + at);
            if (event->len > 0 && std::string(event->name).starts_with(".installagent.")) return now;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return -1;
}

// One download-road run on an empty cache, made ahead as the installer would make it, to be
// watched: the whole run, until extraction begins, nginx's time to send the body, the main
// thread's longest busy stretch.
void downloadRun(Figures& fig, const std::string& key, const std::string& file, bool window) {
    clearCache();
    fs::path level = S.home;
    for (const auto& part : fs::relative(cacheDir(), S.home)) ::mkdir((level /= part).c_str(), 0700);
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ::inotify_add_watch(watch, cacheDir().c_str(), IN_CREATE);
    ::sync();
    const uintmax_t from = logSize();
    double began = -1;
    ProcessOptions options = installer(url(file), window);
    const auto start = Clock::now();
    options.onStart = [&](pid_t pid) { began = extractionBegins(watch, pid, start); };
    const auto r = run({downloadApp().executable}, options);
    ::close(watch);
    fig.add(key + " total", r.seconds);
    fig.add(key + " download", began);
    fig.add(key + " served", gets(from, 1).back().seconds);
    if (const auto at = r.err.find(kStatsLine); at != std::string::npos) {
        fig.add(key + " busy", std::strtod(r.err.c_str() + at + std::strlen(kStatsLine), nullptr) / 1000);
    }
}

void throughput() {
    const std::string archive = gig(), curlOut = S.work + "/curl.out", unzipped = S.work + "/unzipped";
    const auto size = static_cast<double>(fs::file_size(archive));
    const Figures f = rounds(S.runs, [&](Figures& fig, int) {
        ::sync();
        const uintmax_t from = logSize();
        fig.add("curl", run({"/usr/bin/curl", "-s", "-o", curlOut, url("1g.zip")}).seconds);
        fig.add("curl served", gets(from, 1).back().seconds);
        fs::remove(curlOut);
        ::sync();
        fig.add("unzip", run({"/usr/bin/unzip", "-qq", "-o", archive, "-d", unzipped}).seconds);
        fs::remove_all(unzipped);
        for (const auto& m : modes()) downloadRun(fig, m, "1g.zip", m == "window");
        for (const auto& m : modes()) downloadRun(fig, m + " small", "1m.zip", m == "window");
    });
    clearCache();
    std::vector<Row> rows, busy;
    for (const auto& m : modes()) {
        const std::string target = m == "window" ? ">= 0.85" : ">= 0.90";
        const double whole = f.median(m + " total") / (f.median("curl") + f.median("unzip"));
        const double download = f.median("curl") / f.median(m + " download");
        const double served = f.median("curl served") / f.median(m + " served");
        rows.push_back({m + ": whole run (download, unzip, agent)", secs(f.median(m + " total")),
                        secs(f.median("curl")) + " + " + secs(f.median("unzip")), fmt("%.2f", whole)});
        rows.push_back({m + ": download (start to extraction)", rate(size, f.median(m + " download")),
                        rate(size, f.median("curl")), fmt("%.2f", download), target, download});
        rows.push_back({m + ": download as nginx sent it ($request_time)", rate(size, f.median(m + " served")),
                        rate(size, f.median("curl served")), fmt("%.2f", served), target, served});
        const double worst = f.worst(m + " busy"), small = f.worst(m + " small busy");
        busy.push_back({m + ", 1 GiB download and extraction", ms(worst), ms(small), fmt("%.2f", worst / small),
                        "<= 50 ms", worst * 1000});
    }
    table(fmt("Download road throughput: %.0f MiB archive, one STORED file, empty cache, median of %d", size / kMiB,
              S.runs),
          {"Anchors: `curl -s -o FILE URL` of the same URL, and `unzip -qq -o A -d D` of the same archive",
           "(the installer also extracts). The installer's download part ends when its extraction begins:",
           "the staging directory appearing in the cache, seen with inotify. nginx's $request_time is the",
           "server's view of the same transfer for both programs. Every run starts after a sync()."},
          rows);
    table(fmt("Responsiveness: the main thread's longest busy stretch, worst of %d runs", S.runs),
          {"Printed by the loop itself with BI_MAIN_LOOP_STATS=1: console, the longest queued call or timer;",
           "window, the longest stretch between two polls of GLib's main context (GTK's events and drawing",
           fmt("included). Anchor: the same road on a 1 MiB archive. Medians: console %s, window %s.",
               ms(f.median("console busy")).c_str(), S.display ? ms(f.median("window busy")).c_str() : "-")},
          busy);
}

// ---- 2: the valid-cache road

void validCache() {
    const std::string u = url(fs::path(gig()).filename());
    const auto size = static_cast<double>(fs::file_size(gig()));
    const Bundle& app = downloadApp();
    fresh(app, installer(u));  // fills the cache
    const std::vector<std::string> direct = {"/bin/sh", cacheDir() + "/installagent/install", "-installbundle",
                                             app.resources + "/bundle.zip"};
    const Figures f = rounds(S.runs, [&](Figures& fig, int) {
        const double agent = run(direct).firstLineSeconds,
                     head = run({"/usr/bin/curl", "-sI", "-o", "/dev/null", u}).seconds;
        fig.add("anchor", agent + head);
        fig.add("head", head);
        fig.add("probe", run({BI_CURL_PROBE}).seconds);
        const uintmax_t from = logSize();
        fig.add("console", run({app.executable}, installer(u)).firstLineSeconds);
        fig.add("sent", gets(from, 1).back().bytes);
        if (S.display) fig.add("window", run({app.executable}, installer(u, true)).firstLineSeconds);
        if (!fs::exists(cacheDir() + "/installagent/install")) die("the valid-cache run lost the cached agent");
    });
    const auto extra = [&](const std::string& m) { return f.median(m) - f.median("anchor"); };
    std::vector<Row> rows = {{"console: start to the agent's first line", ms(f.median("console")),
                              ms(f.median("anchor")), fmt("%+.1f ms", extra("console") * 1000), "extra <= 5 ms",
                              extra("console") * 1000}};
    if (S.display) {
        rows.push_back({"window: start to the agent's first line", ms(f.median("window")), ms(f.median("anchor")),
                        fmt("%+.1f ms", extra("window") * 1000), "(for information)"});
    }
    rows.push_back({"console: body bytes nginx sent (worst)", fmt("%.0f B", f.worst("sent")),
                    fmt("%.0f MiB", size / kMiB), fmt("%.4f%%", 100 * f.worst("sent") / size), "0 B", f.worst("sent")});
    table(fmt("Valid-cache road: %.0f MiB archive whose ETag matches the cache, median of %d", size / kMiB, S.runs),
          {"The installer asks with If-None-Match and gets 304. Anchor: `curl -sI URL` (the same question, one",
           fmt("round trip: %s) plus `sh <agent>/install -installbundle <bundle.zip>` started directly, timed to",
               ms(f.median("head")).c_str()),
           "the same first line. Body bytes: $body_bytes_sent of nginx's access log for the installer's request.",
           fmt("For scale: a program that only links and initialises libcurl runs in %s.",
               ms(f.median("probe")).c_str())},
          rows);
}

// ---- 3 and 6: the shipped-archive road, and its start-up and memory (it never loads libcurl)

// Each goes first every other round, so that neither always follows the other's deletions.
void inTurns(int round, const std::function<void()>& mine, const std::function<void()>& anchor) {
    if (round % 2 == 1) mine();
    anchor();
    if (round % 2 == 0) mine();
}

void shipped() {
    const Bundle& app = shippedApp();
    const std::string d = S.work + "/D";
    const Figures f = rounds(S.runs, [&](Figures& fig, int i) {
        inTurns(
            i,
            [&] {
                ::sync();
                fig.add("installer", run({app.executable}, installer("")).seconds);
            },
            [&] {
                ::sync();
                fig.add("anchor", run(unzipThenAgent(app, d)).seconds);
                const auto start = Clock::now();
                fs::remove_all(d);
                fig.add("removal", since(start));
            });
    });
    const double ratio = f.median("installer") / f.median("anchor");
    table(fmt("Shipped-archive road: %.0f MiB archive of 5000 files, median of %d",
              static_cast<double>(fs::file_size(app.resources + "/InstallAgent.zip")) / kMiB, S.runs),
          {"Anchor: `sh -c 'unzip -qq -o A -d D && sh D/install -installbundle B'` on the same archive.",
           "Each run starts after a sync(), and the two take turns going first.",
           fmt("The installer also removes its working directory; removing D takes %s (not in the anchor).",
               ms(f.median("removal")).c_str())},
          {{"whole run", ms(f.median("installer")), ms(f.median("anchor")), fmt("%.3f", ratio), "<= 1.05", ratio}});
}

void startUp() {
    const Bundle& app = tinyApp();
    const std::string d = S.work + "/D";
    const Figures f = rounds(S.runs, [&](Figures& fig, int i) {
        inTurns(
            i, [&] { fig.add("installer", run({app.executable}, installer("")).firstLineSeconds); },
            [&] {
                fig.add("anchor", run(unzipThenAgent(app, d)).firstLineSeconds);
                fs::remove_all(d);
            });
        const Memory m = ownMemory({app.executable}, installer(""));
        fig.add("peak", m.hwmKiB);
        fig.add("anon", m.anonKiB);
        fig.add("file", m.fileKiB);
        fig.add("anchor peak", static_cast<double>(run(unzipThenAgent(app, d)).maxRssKiB));
        fs::remove_all(d);
        fig.add("probe", run({BI_CURL_PROBE}).seconds);
        fig.add("probe peak", ownMemory({BI_CURL_PROBE}).hwmKiB);
        fig.add("true", run({"/bin/true"}).seconds);
    });
    table(fmt("Shipped-archive road start-up: an archive of `install` alone, median of %d (memory: worst)", S.runs),
          {"Anchor: `sh -c 'unzip -qq -o A -d D && sh D/install -installbundle B'`, timed to the agent's first line.",
           "Memory: VmHWM of the installer's own process at its exit (its unzip and sh not counted), against",
           "ru_maxrss of the anchor (its largest process, unzip or sh).",
           fmt("Installer at exit: %s anonymous, %s mapped from files; libcurl is never loaded on this road.",
               mib(f.ofWorst("anon", "peak")).c_str(), mib(f.ofWorst("file", "peak")).c_str()),
           fmt("What it would pay for libcurl: a program that only links and initialises it runs in %s, peak %s",
               ms(f.median("probe")).c_str(), mib(f.worst("probe peak")).c_str()),
           fmt("(/bin/true runs in %s).", ms(f.median("true")).c_str())},
          {{"start to the agent's first line", ms(f.median("installer")), ms(f.median("anchor")),
            fmt("%+.1f ms", (f.median("installer") - f.median("anchor")) * 1000)},
           {"peak resident memory", mib(f.worst("peak")), mib(f.worst("anchor peak")),
            fmt("%.2f", f.worst("peak") / f.worst("anchor peak"))}});
}

// ---- 7: signed agents

// A rotation: a 1 MiB agent signed with a key that a statement beside it introduces. The
// statement is asked for once per cache: by the first run, not by a later release's.
void rotation() {
    const std::string keys = S.scratch + "/keys", archive = agentArchive("rotated", kMiB);
    run({"/usr/bin/minisign", "-G", "-W", "-p", keys + "/new.pub", "-s", keys + "/new.sec"});
    const std::string pub = readFile(keys + "/new.pub");
    writeFile(keys + "/s.txt", "bootstrap-installer key statement\nkey " + pub.substr(pub.find('\n') + 1));
    run({"/usr/bin/minisign", "-S", "-s", keys + "/key.sec", "-m", keys + "/s.txt"});
    writeFile(archive + ".keys", readFile(keys + "/s.txt") + readFile(keys + "/s.txt.minisig"));
    clearCache();
    std::vector<double> asked;
    for (int release = 0; release < 2; ++release) {
        const auto when = fs::file_time_type::clock::now() + std::chrono::seconds(release);
        fs::last_write_time(archive, when);  // a new tag: the next run downloads it again
        fs::remove(archive + ".minisig");
        run({"/usr/bin/minisign", "-S", "-s", keys + "/new.sec", "-m", archive});
        const uintmax_t from = logSize();
        run({signedApp().executable}, installer(url(fs::path(archive).filename())));
        double statements = 0;
        for (const auto& line : gets(from, 3)) statements += line.keys ? 1 : 0;
        asked.push_back(statements);
    }
    clearCache();
    table("Key rotation: an agent signed with a key introduced by a key statement, two releases, one cache", {},
          {{"key statement requests, the first run", fmt("%.0f", asked[0]), "", "", "1", asked[0]},
           {"key statement requests, a later release's run", fmt("%.0f", asked[1]), "", "", "0", asked[1]}});
}

void signedRoad() {
    const std::string u = url(fs::path(gig()).filename()), a = S.work + "/A.zip", d = S.work + "/D";
    sign(gig());
    const std::vector<std::string> anchor = {
        "/bin/sh",
        "-c",
        "curl -s -o \"$1\" \"$2\" && curl -s -o \"$1.minisig\" \"$2.minisig\" && minisign -Vqm \"$1\" -p \"$3\" && "
        "unzip -qq -o \"$1\" -d \"$4\"",
        "sh",
        a,
        u,
        publicKey(),
        d};
    const Figures f = rounds(S.runs, [&](Figures& fig, int) {
        fig.add("unsigned", fresh(downloadApp(), installer(u)).seconds);
        fig.add("signed", fresh(signedApp(), installer(u)).seconds);
        if (!S.baseline.empty()) fig.add("baseline", fresh(baselineSignedApp(), installer(u)).seconds);
        ::sync();
        fig.add("anchor", run(anchor).seconds);
        fs::remove_all(d);
        fs::remove(a);
        fs::remove(a + ".minisig");
    });
    clearCache();
    const double versusUnsigned = f.median("signed") / f.median("unsigned");
    const double versusAnchor = f.median("signed") / f.median("anchor");
    table(fmt("Signed agents: %.0f MiB archive, empty cache, whole run (download, check, unzip, agent), median of %d",
              static_cast<double>(fs::file_size(gig())) / kMiB, S.runs),
          {"The signed bundle also fetches the .minisig and checks it; the archive is hashed while it arrives.",
           "Anchor for the check: `curl -o A URL && curl -o A.minisig URL.minisig && minisign -Vm A -p KEY &&",
           "unzip -qq -o A -d D`. Every run starts after a sync()."},
          {{"signed against unsigned", secs(f.median("signed")), secs(f.median("unsigned")), times(versusUnsigned),
            "<= 1.15", versusUnsigned},
           {"signed against curl, curl, minisign -V, unzip", secs(f.median("signed")), secs(f.median("anchor")),
            times(versusAnchor), "< 1 (faster)", versusAnchor}});
    if (!S.baseline.empty()) {
        const double versusBaseline = f.median("signed") / f.median("baseline");
        table("The same signed road, no key statement needed, against the --baseline build",
              {"Baseline: " + S.baseline + ", in a bundle with the same key, on the same archive and cache."},
              {{"signed, this build against the baseline", secs(f.median("signed")), secs(f.median("baseline")),
                times(versusBaseline), "<= 1.05", versusBaseline}});
    }
    rotation();
}

// ---- 8, 9, 10: broken connections, an interrupted run, installers together

constexpr int kRelayWindow = 256 << 10;

// A relay on 127.0.0.1 in front of nginx that ends each of its first `cuts` connections once it
// has passed `cut` bytes towards the client; later ones run to their end.
class CuttingRelay {
public:
    CuttingRelay(uint64_t cut, int cuts) : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr = loopback(0);
        socklen_t len = sizeof addr;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len);
        ::listen(listener_, 16);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        url_ = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
        thread_ = std::thread([this, cut, cuts] {
            for (int n = 0;; ++n) {
                const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) return;
                relay(client, n < cuts ? cut : UINT64_MAX);
            }
        });
    }
    ~CuttingRelay() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::string url(const std::string& file) const { return url_ + file; }
    std::atomic<uint64_t> passed{0};

private:
    void relay(int client, uint64_t cut) {
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // A link's worth in flight, not loopback's many megabytes: what a cut loses on the way.
        ::setsockopt(server, SOL_SOCKET, SO_RCVBUF, &kRelayWindow, sizeof kRelayWindow);
        const sockaddr_in addr = loopback(nginx().port());
        std::vector<char> buf(256 << 10);
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        bool open = ::connect(server, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        for (uint64_t done = 0; open && done<cut&& ::poll(fds, 2, 60000)> 0;) {
            const bool down = fds[1].revents != 0;
            const int from = down ? server : client, to = down ? client : server;
            const ssize_t n = ::read(from, buf.data(), down ? std::min<uint64_t>(buf.size(), cut - done) : buf.size());
            open = n > 0 && ::send(to, buf.data(), static_cast<size_t>(n), MSG_NOSIGNAL) == n;
            if (open && down) {
                done += static_cast<uint64_t>(n);
                passed += static_cast<uint64_t>(n);
            }
        }
        ::close(server);
        ::close(client);
    }

    int listener_;
    std::string url_;
    std::thread thread_;
};

void broken() {
    const auto size = static_cast<double>(fs::file_size(gig()));
    const Figures f = rounds(
        S.runs,
        [&](Figures& fig, int) {
            CuttingRelay relay(static_cast<uint64_t>(size / 4), 3);  // at 25, 50 and 75 %
            const uintmax_t from = logSize();
            fig.add("seconds", fresh(downloadApp(), installer(relay.url("1g.zip"))).seconds);
            fig.add("sent", sent(from, 4) / size);
            fig.add("received", static_cast<double>(relay.passed) / size);
        },
        0);
    clearCache();
    table(fmt("Broken connections: %.0f MiB archive, the connection cut at 25, 50 and 75 %%, %d runs", size / kMiB,
              S.runs),
          {"A relay in front of nginx ends the first three connections; the installer resumes each time (after",
           "its waits of 1, 2 and 4 s) and completes in the same run, or the benchmark stops. Bytes: nginx's",
           "$body_bytes_sent over all requests of the run, against the archive's size; it counts what was still",
           "on the way when a connection was cut (the relay takes a window of 256 KiB from nginx, a link's worth).",
           "Received: what the relay passed on to the installer, against the archive's size."},
          {{"bytes the server sent (worst)", times(f.worst("sent")), "1.000x", "", "<= 1.02", f.worst("sent")},
           {"bytes the installer received (worst)", times(f.worst("received")), "1.000x", "", "(for information)"},
           {"whole run, waits included (median)", secs(f.median("seconds")), "", "", "(for information)"}});
}

void interrupted() {
    const std::string u = url(fs::path(gig()).filename()), partial = cacheDir() + "/.download";
    const auto size = static_cast<double>(fs::file_size(gig()));
    const Figures f = rounds(
        S.runs,
        [&](Figures& fig, int) {
            std::atomic<uintmax_t> stoppedAt{0};
            ProcessOptions options = installer(u);
            options.onStart = [&](pid_t pid) {  // SIGINT once the partial archive holds half
                std::error_code ec;
                while (static_cast<double>(fs::file_size(partial, ec)) < size / 2 || ec) {
                    if (::kill(pid, 0) != 0) return;
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
                stoppedAt = fs::file_size(partial, ec);
                ::kill(pid, SIGINT);
            };
            fresh(downloadApp(), options, true);
            const uintmax_t from = logSize();
            ::sync();
            run({downloadApp().executable}, installer(u));
            fig.add("second", sent(from, 1) / size);
            fig.add("at", static_cast<double>(stoppedAt) / size);
        },
        0);
    clearCache();
    table(fmt("Interrupted and resumed: %.0f MiB archive, Ctrl-C at about half, then a second run, %d runs",
              size / kMiB, S.runs),
          {fmt("SIGINT once the partial archive in the cache holds half (it held %.1f %% at the signal, median).",
               100 * f.median("at")),
           "Bytes: nginx's $body_bytes_sent for the second run's request, against the archive's size."},
          {{"bytes the second run received (worst)", times(f.worst("second")), "1.000x", "", "<= 0.52",
            f.worst("second")}});
}

void together() {
    const std::string u = url(fs::path(gig()).filename());
    const auto size = static_cast<double>(fs::file_size(gig()));
    const Figures f = rounds(
        S.runs,
        [&](Figures& fig, int) {
            uintmax_t from = logSize();
            fig.add("alone", fresh(downloadApp(), installer(u)).seconds);
            fig.add("sent alone", sent(from, 1) / size);
            clearCache();
            ::sync();
            from = logSize();
            const auto start = Clock::now();
            std::vector<std::future<ProcessResult>> eight;
            for (int n = 0; n < 8; ++n) {
                eight.push_back(
                    std::async(std::launch::async, [&] { return run({downloadApp().executable}, installer(u)); }));
            }
            for (auto& e : eight) e.get();
            fig.add("all", since(start));
            fig.add("sent all", sent(from, 8) / size);
        },
        0);
    clearCache();
    table(fmt("Installers started together: 8 on an empty cache, %.0f MiB archive, median of %d", size / kMiB, S.runs),
          {"One downloads; the others wait for it and revalidate the agent it cached (304). Bytes: nginx's",
           "$body_bytes_sent over all requests, against the archive's size. Time: until all 8 agents ran."},
          {{"bytes the server sent (worst)", times(f.worst("sent all")), times(f.worst("sent alone")), "", "<= 1.05",
            f.worst("sent all")},
           {"time until every agent ran", secs(f.median("all")), secs(f.median("alone")),
            times(f.median("all") / f.median("alone")), "(for information)"}});
}

// ---- 4: memory, the signed road (which hashes the archive and checks its signature) beside the unsigned one

// The installer's own peak memory on `file`, and curl's (ru_maxrss) on the same URL.
Figures peaks(const Bundle& app, const std::string& file, bool window = false) {
    const std::string out = S.work + "/curl.out";
    const Figures f = rounds(S.runs, [&](Figures& fig, int) {
        clearCache();
        const Memory m = ownMemory({app.executable}, installer(url(file), window));
        fig.add("installer", m.hwmKiB);
        fig.add("anon", m.anonKiB);
        fig.add("file", m.fileKiB);
        fig.add("curl", static_cast<double>(run({"/usr/bin/curl", "-s", "-o", out, url(file)}).maxRssKiB));
        fs::remove(out);
    });
    clearCache();
    return f;
}

void memory() {
    std::vector<Row> rows;
    std::vector<std::string> notes = {
        "VmHWM of the installer, read when it stops at its exit (ptrace exit event), so that its unzip",
        "and sh children are not counted. Anchor: ru_maxrss of `curl -s -o FILE URL` on the same URL."};
    std::map<std::string, Figures> by;
    const auto measure = [&](const std::string& what, const Bundle& app, const std::string& file, const char* target,
                             bool window) {
        const Figures& p = by[what] = peaks(app, file, window);
        rows.push_back({what + " archive", mib(p.worst("installer")), mib(p.worst("curl")),
                        fmt("%.2f", p.worst("installer") / p.worst("curl")), target, p.worst("installer") / 1024});
        if (what.find("signed") != std::string::npos) return;
        notes.push_back(fmt("%s: at exit %s anonymous, %s mapped from files (mostly shared libraries).", what.c_str(),
                            mib(p.ofWorst("anon", "installer")).c_str(), mib(p.ofWorst("file", "installer")).c_str()));
    };
    const auto bothRoads = [&](const std::string& size, const std::string& archive) {
        sign(archive);
        measure("console, " + size, downloadApp(), fs::path(archive).filename(), "<= 12 MiB", false);
        measure("console, signed, " + size, signedApp(), fs::path(archive).filename(), "", false);
    };
    bothRoads("100 MiB", agentArchive("100m", 100 * kMiB));
    if (S.withBig) {
        bothRoads("4 GiB", agentArchive("4g", 4096 * kMiB));
        fs::remove(S.www + "/4g.zip");
        fs::remove(S.www + "/4g.zip.minisig");
        for (const std::string road : {"console, ", "console, signed, "}) {
            const Figures &small = by[road + "100 MiB"], &large = by[road + "4 GiB"];
            const double growth = large.worst("installer") - small.worst("installer");
            rows.push_back({road + "growth from 100 MiB to 4 GiB", mib(growth),
                            mib(large.worst("curl") - small.worst("curl")), "", "<= 2 MiB", growth / 1024});
        }
    }
    if (S.display) measure("window, 100 MiB", downloadApp(), "100m.zip", "<= 40 MiB", true);
    table(fmt("Peak resident memory of the installer's own process, worst of %d runs", S.runs), notes, rows);
}

}  // namespace
}  // namespace bi::bench

int main(int argc, char** argv) {
    using namespace bi::bench;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            S.runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--no-4g") {
            S.withBig = false;
        } else if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (a == "--baseline" && i + 1 < argc) {
            S.baseline = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--no-4g] [--only SECTION,...] [--baseline INSTALLER]\n",
                         argv[0]);
            return 2;
        }
    }
    const auto chosen = [&](const std::string& name) {
        return only.empty() || ("," + only + ",").find("," + name + ",") != std::string::npos;
    };
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // What is freed goes back to the system: a child's ru_maxrss starts from our resident memory.
    ::mallopt(M_MMAP_THRESHOLD, 128 << 10);
    const char* display = std::getenv("DISPLAY");
    S.display = display != nullptr && *display != '\0';
    S.scratch = benchScratch();
    S.home = S.scratch + "/home";
    S.www = S.scratch + "/www";
    S.work = S.scratch + "/work";
    for (const auto& d : {S.home, S.www, S.work, S.scratch + "/tmp"}) fs::create_directories(d);
    fs::permissions(S.home, fs::perms::owner_all);
    ::setenv("HOME", S.home.c_str(), 1);
    ::setenv("TMPDIR", (S.scratch + "/tmp").c_str(), 1);

    const uint64_t needed = only == "start-up" ? 0 : (S.withBig && chosen("memory") ? 14ULL : 5ULL) << 30;
    if (fs::space(S.scratch).available < needed) {
        die(fmt("needs %.0f GiB free in %s", static_cast<double>(needed) / (1 << 30), S.scratch.c_str()));
    }
    std::printf("Machine: %s\nScratch: %s (HOME and TMPDIR of every run)\nWindow rows: %s\n", machine().c_str(),
                S.scratch.c_str(), S.display ? "GTK window on DISPLAY" : "none (no DISPLAY)");
    if (chosen("throughput")) agentArchive("1m", kMiB);
    const std::vector<std::pair<std::string, void (*)()>> sections = {
        {"throughput", throughput},   {"valid-cache", validCache}, {"shipped", shipped},
        {"start-up", startUp},        {"signed", signedRoad},      {"broken", broken},
        {"interrupted", interrupted}, {"together", together},      {"memory", memory}};
    for (const auto& [name, section] : sections) {
        if (chosen(name)) section();
    }
    return 0;
}
