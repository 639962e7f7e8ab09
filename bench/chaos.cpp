// The chaos run: the installer, run as a process against a scripted server on 127.0.0.1 that
// breaks its answers at random (a connection dropped at any byte, a 206 of another archive or
// at another offset, 416, 503 with Retry-After, a stall past the idle time-out, a server that
// ignores the request's conditions), sometimes killed at a random moment, each run followed by
// a clean one. Before every other faulty run the server's archive changes, so that it has to
// download. It counts how the runs ended and
// fails when a run started an agent other than the server's current one, when a clean run
// after a faulty one did not start the current agent (a cache misjudged), or when TMPDIR kept
// anything after a run that was not killed. Not a test: it prints a table.
//
//   chaos [--runs N] [--minutes M] [--seed S]
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "scripted_server.h"
#include "support.h"

using namespace bi::testsupport;

namespace {

struct Version {
    std::string tag, bytes;
};

// An archive whose agent appends its version to $CHAOS_RUNS, with enough random bytes that
// a drop can fall anywhere in it.
Version makeVersion(const ScratchDir& dir, int n, std::mt19937_64& rng) {
    std::string noise(256 << 10, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    const std::string zip = dir / ("v" + std::to_string(n) + ".zip");
    makeZip(zip, {{"install", "#!/bin/sh\necho v" + std::to_string(n) + " >> \"$CHAOS_RUNS\"\n"}, {"noise", noise}});
    return {"\"v" + std::to_string(n) + "-" + std::to_string(rng() % 100000) + "\"", readFile(zip)};
}

const char* const kFaults[] = {"drop",  "206 of another archive", "206 at another offset", "416", "503",
                               "stall", "conditions ignored"};

// One faulty answer to `q` for `cur`, while `other` is another archive.
ScriptedReply fault(int which, const ScriptedRequest& q, const Version& cur, const Version& other,
                    std::mt19937_64& rng) {
    ScriptedReply r = serveArchive(q, cur.bytes, cur.tag);
    const std::string range = q.header("range");
    const size_t from = range.starts_with("bytes=") ? std::stoul(range.substr(6)) : 0;
    switch (which) {
        case 0:
            r.dropAfter = rng() % (r.body.size() + 1);
            break;
        case 1: {
            if (range.empty()) break;  // a whole other archive is only a new release
            ScriptedRequest ignoring = q;
            ignoring.headers["if-range"] = other.tag;
            ignoring.headers.erase("if-none-match");
            r = serveArchive(ignoring, other.bytes, other.tag);
            break;
        }
        case 2:
            if (r.status == 206 && from > 0) {
                const size_t start = from - 1 - rng() % from;
                r.headers.back().second = "bytes " + std::to_string(start) + "-" +
                                          std::to_string(cur.bytes.size() - 1) + "/" + std::to_string(cur.bytes.size());
                r.body = cur.bytes.substr(start);
            }
            break;
        case 3:
            return reply(416, {{"Content-Range", "bytes */" + std::to_string(cur.bytes.size())}});
        case 4:
            return reply(503, {{"Retry-After", std::to_string(rng() % 3)}});
        case 5:
            r.pace = std::chrono::milliseconds(700), r.piece = 16 << 10;
            break;
        default:
            r = serveArchive({}, cur.bytes, cur.tag);
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 1000;
    double minutes = 1e9;
    unsigned seed = std::random_device{}();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--runs") runs = std::stoi(argv[i + 1]);
        if (opt == "--minutes") minutes = std::stod(argv[i + 1]);
        if (opt == "--seed") seed = static_cast<unsigned>(std::stoul(argv[i + 1]));
    }
    std::mt19937_64 rng(seed);
    ScratchDir dir;
    makeDirs(dir / "home"), makeDirs(dir / "tmp");
    std::vector<Version> versions{makeVersion(dir, 1, rng), makeVersion(dir, 2, rng)};

    std::mutex mutex;
    size_t current = 0;
    bool faulty = false;
    std::map<std::string, int> faultsServed;
    ScriptedServer server([&](const ScriptedRequest& q, int) {
        std::lock_guard lock(mutex);
        const Version &cur = versions[current], &other = versions[1 - current];
        if (!faulty || rng() % 3 == 0) return serveArchive(q, cur.bytes, cur.tag);
        const int which = static_cast<int>(rng() % std::size(kFaults));
        ++faultsServed[kFaults[which]];
        return fault(which, q, cur, other, rng);
    });
    const Bundle bundle = makeBundle(BI_INSTALLER, dir / "apps");
    writeFile(bundle.resources + "/installAgentURL.txt", server.url("/InstallAgent.zip") + "\n");
    ProcessOptions options{.env = {{"HOME", dir / "home"},
                                   {"TMPDIR", dir / "tmp"},
                                   {"CHAOS_RUNS", dir / "runs"},
                                   {"DISPLAY", std::nullopt},
                                   {"WAYLAND_DISPLAY", std::nullopt},
                                   {"BI_RETRY_WAIT", "0.05"},
                                   {"BI_IDLE_TIMEOUT", "0.3"}},
                           .timeout = std::chrono::seconds(60)};

    std::map<std::string, int> outcomes;
    int wrongAgents = 0, misjudged = 0, leftovers = 0, done = 0;
    std::set<std::string> killedDirs;
    const auto started = std::chrono::steady_clock::now();
    // One run; returns the agent it started ("" for none) and counts what went wrong.
    const auto runOnce = [&](bool withFaults, bool kill, const char* what) {
        {
            std::lock_guard lock(mutex);
            faulty = withFaults;
        }
        writeFile(dir / "runs", "");
        ProcessOptions o = options;
        const auto delay = std::chrono::milliseconds(rng() % 200);
        if (kill) {
            o.onStart = [delay](pid_t pid) {
                const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
                pollfd ended{fd, POLLIN, 0};
                if (fd >= 0 && ::poll(&ended, 1, static_cast<int>(delay.count())) == 0)
                    ::syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
                if (fd >= 0) ::close(fd);
            };
        }
        const ProcessResult result = runProcess({bundle.executable}, o);
        const std::string agent = readFile(dir / "runs");
        const std::string want = "v" + std::to_string(current + 1) + "\n";
        if (!agent.empty() && agent != want) {
            ++wrongAgents;
            std::printf("%s run %d started %s where the server's agent is %s", what, done, agent.c_str(), want.c_str());
        }
        // A killed run's working directory goes with a later run (a minute later at most, when it
        // was killed before locking it); any other is a leftover.
        for (const std::string& name : listDir(dir / "tmp")) {
            if (result.exitStatus == 128 + SIGKILL) killedDirs.insert(name);
            if (killedDirs.contains(name)) continue;
            ++leftovers;
            std::printf("%s run %d left %s in TMPDIR\n", what, done, name.c_str());
        }
        if (!withFaults && agent != want) {
            ++misjudged;
            std::printf("clean run %d after a faulty one: exit %d\n%s\n", done, result.exitStatus, result.err.c_str());
        }
        if (!withFaults) return;
        std::string outcome = result.exitStatus == 128 + SIGKILL ? "killed"
                              : agent.empty()                    ? "failed: "
                                                                 : "agent started";
        if (agent.empty() && result.exitStatus != 128 + SIGKILL) {
            // The user's sentence: the line before the last stage message and the log file's name.
            std::string err = result.err.substr(0, result.err.rfind("\nInstallation failed."));
            if (const auto log = err.rfind("\nThe installer's log for"); log != std::string::npos) err.erase(log);
            outcome += err.substr(err.rfind('\n') + 1, 64);
            if (std::getenv("CHAOS_VERBOSE")) std::printf("%s\n", result.err.c_str());
        }
        ++outcomes[outcome];
    };
    for (; done < runs && std::chrono::steady_clock::now() - started < std::chrono::duration<double>(minutes * 60);
         ++done) {
        if (rng() % 2 == 0) {
            std::lock_guard lock(mutex);
            current = 1 - current;  // a new release on the server
        }
        runOnce(true, rng() % 4 == 0, "faulty");
        runOnce(false, false, "clean");
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // What killed runs left is gone once a run starts after the longest wait.
    std::this_thread::sleep_for(std::chrono::seconds(killedDirs.empty() ? 0 : 61));
    const size_t fromKills = killedDirs.size();
    killedDirs.clear();
    runOnce(false, false, "last clean");
    std::printf("\n%d faulty runs, each followed by a clean one, in %.1f s (seed %u)\n\n", done, seconds, seed);
    std::printf("| how the faulty run ended | runs |\n|---|---:|\n");
    for (const auto& [outcome, n] : outcomes) std::printf("| %s | %d |\n", outcome.c_str(), n);
    std::printf("\n| faults served | answers |\n|---|---:|\n");
    for (const auto& [f, n] : faultsServed) std::printf("| %s | %d |\n", f.c_str(), n);
    std::printf(
        "\n| must be zero | count |\n|---|---:|\n| wrong agent started | %d |\n"
        "| clean run that did not start the current agent | %d |\n| run that left files in TMPDIR | %d |\n\n"
        "Working directories of killed runs: %zu, all removed by later runs (the last a minute on).\n",
        wrongAgents, misjudged, leftovers, fromKills);
    return wrongAgents + misjudged + leftovers == 0 ? 0 : 1;
}
