// The download road behind a CDN's edge: a caching nginx (proxy_cache) in front of the origin
// nginx, both on 127.0.0.1. 20 installers start at once, each on an empty cache of its own and
// the edge's cache empty too; then the same 20 again on their valid caches, once the edge's
// copy has gone stale, so that the edge must ask the origin. The figure is what the origin
// sent, against the archive and against 20 curls doing the same through the same edge.
//
//   edge_bench [--runs N] [--mib SIZE]
#include <future>
#include <thread>

#include "bench.h"

namespace bi::bench {
namespace {

constexpr int kInstallers = 20;
constexpr const char* kAgentScript = "#!/bin/sh\necho \"agent started: $*\"\n";

struct {
    std::string scratch, www;
    int runs = 5;
    uint64_t size = 32 * kMiB;
} S;

// The archive's bytes the origin sent for requests after line `from` of its log, and its lines.
std::pair<double, size_t> originSent(const Nginx& origin, size_t from) {
    std::istringstream log(origin.accessLog());
    double bytes = 0;
    size_t n = 0;
    for (std::string line; std::getline(log, line); ++n) {
        if (n >= from) bytes += std::stod(line.substr(line.find(' ') + 1));
    }
    return {bytes, n};
}

// Runs `count` copies of argv at once, each with HOME = homes/<i>; all must succeed.
void together(const std::vector<std::string>& argv, const std::string& homes,
              const std::map<std::string, std::optional<std::string>>& env) {
    std::vector<std::future<ProcessResult>> all;
    for (int i = 0; i < kInstallers; ++i) {
        const std::string home = homes + "/" + std::to_string(i);
        fs::create_directories(home);
        ProcessOptions o{.env = env};
        o.env["HOME"] = home;
        o.env["DISPLAY"] = o.env["WAYLAND_DISPLAY"] = std::nullopt;
        o.cwd = home;
        all.push_back(std::async(std::launch::async, [argv, o] { return run(argv, o); }));
    }
    for (auto& r : all) r.get();
}

struct Road {
    std::string name, file;
    Bundle app;
};

void measure(const Nginx& origin, const Road& road, Figures& fig) {
    CachingEdge edge(origin.port(), 1);
    const std::string homes = S.scratch + "/homes", url = edge.url(road.file);
    fs::remove_all(homes);
    const std::map<std::string, std::optional<std::string>> env = {{"QV_INTERNAL_INSTALL_AGENT_URL", url}};
    // 20 installers on empty caches, the edge's empty too.
    size_t from = originSent(origin, 0).second;
    together({road.app.executable}, homes, env);
    fig.add(road.name + " empty", originSent(origin, from).first);
    fig.add(road.name + " empty requests", static_cast<double>(originSent(origin, 0).second - from));
    // The same 20 on their valid caches, the edge's copy stale (it counts in whole seconds).
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    from = originSent(origin, 0).second;
    together({road.app.executable}, homes, env);
    fig.add(road.name + " valid", originSent(origin, from).first);
    fig.add(road.name + " valid requests", static_cast<double>(originSent(origin, 0).second - from));
    fs::remove_all(homes);

    // The anchor: 20 curls through a new edge, then 20 that ask with the tag they got.
    CachingEdge anchorEdge(origin.port(), 1);
    const std::string anchorUrl = anchorEdge.url(road.file), out = S.scratch + "/curl";
    from = originSent(origin, 0).second;
    const std::string signature = road.name == "signed" ? " && curl -sf -o a.zip.minisig \"$0.minisig\"" : "";
    together({"/bin/sh", "-c", "curl -sf -o a.zip \"$0\"" + signature, anchorUrl}, out, {});
    fig.add(road.name + " curl empty", originSent(origin, from).first);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    const std::string tag =
        run({"/bin/sh", "-c", "curl -sI \"$0\" | tr -d '\\r' | sed -n 's/^[Ee][Tt]ag: //p'", anchorUrl}).out;
    from = originSent(origin, 0).second;
    together(
        {"/usr/bin/curl", "-sf", "-o", "/dev/null", "-H", "If-None-Match: " + tag.substr(0, tag.find('\n')), anchorUrl},
        out, {});
    fig.add(road.name + " curl valid", originSent(origin, from).first);
    fs::remove_all(out);
}

}  // namespace
}  // namespace bi::bench

int main(int argc, char** argv) {
    using namespace bi::bench;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            S.runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--mib" && i + 1 < argc) {
            S.size = static_cast<uint64_t>(std::max(1, std::atoi(argv[++i]))) * kMiB;
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--mib SIZE]\n", argv[0]);
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    S.scratch = benchScratch();
    S.www = S.scratch + "/www";
    for (const auto& d : {S.www, S.scratch + "/tmp", S.scratch + "/agent"}) fs::create_directories(d);
    ::setenv("TMPDIR", (S.scratch + "/tmp").c_str(), 1);
    std::printf("Machine: %s\n", machine().c_str());

    // One archive, `install` and random bytes STORED, signed for the signed bundle.
    writeFile(S.scratch + "/agent/install", kAgentScript);
    writeRandomFile(S.scratch + "/agent/data.bin", S.size);
    const std::string archive = S.www + "/agent.zip";
    run({"/usr/bin/zip", "-q", "-0", "-X", archive, "install", "data.bin"}, {.cwd = S.scratch + "/agent"});
    fs::remove_all(S.scratch + "/agent");
    run({"/usr/bin/minisign", "-G", "-W", "-p", S.scratch + "/key.pub", "-s", S.scratch + "/key.sec"});
    run({"/usr/bin/minisign", "-S", "-s", S.scratch + "/key.sec", "-m", archive});
    const auto size = static_cast<double>(fs::file_size(archive));

    const Nginx origin(S.www);
    const auto app = [](const std::string& name) {
        Bundle b = makeBundle(BI_INSTALLER, S.scratch + "/apps", name);
        writeFile(b.resources + "/installAgentURL.txt", "http://127.0.0.1:9/unused.zip\n");
        return b;
    };
    const Road plain{"unsigned", "agent.zip", app("Plain.app")};
    Road keyed{"signed", "agent.zip", app("Signed.app")};
    fs::copy_file(S.scratch + "/key.pub", keyed.app.resources + "/installAgentKey.pub");

    const Figures f = rounds(S.runs, [&](Figures& fig, int) {
        measure(origin, plain, fig);
        measure(origin, keyed, fig);
    });
    std::vector<Row> rows;
    for (const std::string road : {"unsigned", "signed"}) {
        const double empty = f.worst(road + " empty"), curl = f.worst(road + " curl empty");
        rows.push_back(
            {fmt("%d installers, empty caches, %s: bytes the origin sent (worst)", kInstallers, road.c_str()),
             times(empty / size), times(curl / size), times(empty / curl), "<= 1.05", empty / size});
    }
    for (const std::string road : {"unsigned", "signed"}) {
        const double valid = f.worst(road + " valid"), curl = f.worst(road + " curl valid");
        rows.push_back(
            {fmt("%d installers, valid caches, %s: body bytes the origin sent (worst)", kInstallers, road.c_str()),
             fmt("%.0f B", valid), fmt("%.0f B", curl), "", "0 B", valid});
    }
    for (const std::string road : {"unsigned", "signed"}) {
        rows.push_back({fmt("requests the origin saw, %s: empty caches, valid caches (worst)", road.c_str()),
                        fmt("%.0f, %.0f", f.worst(road + " empty requests"), f.worst(road + " valid requests")), "", "",
                        "(for information)"});
    }
    table(fmt("Behind a caching edge: %d installers at once, %.0f MiB archive, worst of %d", kInstallers, size / kMiB,
              S.runs),
          {"An nginx with proxy_cache (proxy_cache_lock, proxy_cache_revalidate, entries fresh for 1 s) in front",
           "of the origin nginx; each installer has a cache of its own. Valid caches: the same 20 again once the",
           "edge's copy is stale, so that the edge asks the origin. Bytes: the origin's $body_bytes_sent over",
           "all requests (archive and signature), against the archive's size. Anchor: 20 curls through a new",
           "edge (the archive, and its .minisig for the signed road), then 20 that ask with If-None-Match."},
          rows, "installer | 20 curls");
    return 0;
}
