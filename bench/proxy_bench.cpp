// The download road through a proxy: squid on 127.0.0.1 (caching nothing) in front of nginx,
// the installer's whole run on an empty cache against curl through the same squid followed by
// the same unzip and agent. Command: build/proxy_bench [--runs N] [--mib N].
#include "bench.h"
#include "squid.h"

using namespace bi::bench;

int main(int argc, char** argv) {
    int runs = 5;
    double size = 256 * kMiB;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--runs") runs = std::atoi(argv[i + 1]);
        if (std::string(argv[i]) == "--mib") size = std::atof(argv[i + 1]) * kMiB;
    }
    const std::string scratch = benchScratch();
    makeDirs(scratch + "/www");
    writeRandomFile(scratch + "/blob.bin", static_cast<uint64_t>(size));
    writeFile(scratch + "/install", "#!/bin/sh\necho agent\n", 0755);
    run({"/usr/bin/zip", "-q", "-0", "-j", scratch + "/www/agent.zip", scratch + "/install", scratch + "/blob.bin"});
    Nginx origin(scratch + "/www");
    Squid squid;
    const Bundle b = makeBundle(BI_INSTALLER, scratch + "/apps");
    writeFile(b.resources + "/installAgentURL.txt", origin.url("agent.zip") + "\n");
    ProcessOptions options;
    options.env = {{"HOME", scratch + "/home"}, {"TMPDIR", scratch + "/tmp"},      {"http_proxy", squid.url()},
                   {"DISPLAY", std::nullopt},   {"WAYLAND_DISPLAY", std::nullopt}, {"BI_WINDOW", "console"}};
    const std::string anchor = "/usr/bin/curl -s -x " + squid.url() + " -o A " + origin.url("agent.zip") +
                               " && /usr/bin/unzip -qq -o A -d D && sh D/install -installbundle B";
    const Figures f = rounds(runs, [&](Figures& figures, int i) {
        // The two take turns going first; each starts on an empty cache.
        for (int k = 0; k < 2; ++k) {
            removeTree(scratch + "/home");
            removeTree(scratch + "/anchor");
            makeDirs(scratch + "/home");
            makeDirs(scratch + "/tmp");
            makeDirs(scratch + "/anchor");
            ::sync();
            const auto start = Clock::now();
            if ((k + i) % 2 == 0) {
                run({b.executable}, options);
                figures.add("installer", since(start));
            } else {
                ProcessOptions in;
                in.cwd = scratch + "/anchor";
                run({"/bin/sh", "-c", anchor}, in);
                figures.add("curl", since(start));
            }
        }
    });
    const double mine = f.median("installer"), curl = f.median("curl");
    table(fmt("Through a proxy: %.0f MiB archive, empty cache, whole run, median of %d", size / kMiB, runs),
          {"squid from Debian on 127.0.0.1 (cache deny all) in front of nginx, http_proxy naming it. Anchor:",
           "`" + anchor + "` through the same squid.", "Machine: " + machine()},
          {{"whole run through squid", secs(mine), secs(curl), times(mine / curl), "<= 1.05", mine / curl}});
    return 0;
}
