// The download road's newer promises, each against an anchor measured in the same run:
// signed agents, connections cut in the middle, a run interrupted and resumed, and
// installers started together. Part of installer_bench.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "installer_bench.h"

namespace bi {

namespace bench {
namespace {

fs::path keyDir() { return S.scratch / "keys"; }

}  // namespace

void signArchive(const fs::path& archive) {
    if (!fs::exists(keyDir())) {
        fs::create_directories(keyDir());
        runChild({"/usr/bin/minisign", "-G", "-W", "-p", (keyDir() / "key.pub").string(), "-s",
                  (keyDir() / "key.sec").string()});
    }
    runChild({"/usr/bin/minisign", "-S", "-s", (keyDir() / "key.sec").string(), "-m", archive.string()});
}

namespace {

double run(const fs::path& app, const std::string& url, ChildOptions options = {}) {
    clearCache();
    ::sync();  // no run pays for the writeback of the one before
    options.env = installerEnv(url, false);
    return runChild({installer(app)}, options).seconds;
}

// Body bytes nginx sent for the requests since `before`.
double sentSince(uintmax_t before, size_t requests) {
    double bytes = 0;
    for (const auto& l : newGets(before, requests)) bytes += static_cast<double>(l.bodyBytes);
    return bytes;
}

std::string times(double ratio) { return fmt("%.3fx", ratio); }

constexpr int kRelayWindow = 256 << 10;

// A relay on 127.0.0.1 in front of nginx that ends its n-th connection once it has passed
// cuts[n] bytes towards the client (every later connection runs to its end).
class CuttingRelay {
public:
    explicit CuttingRelay(std::vector<uint64_t> cuts) : cuts_(std::move(cuts)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener_, 16);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] {
            for (size_t n = 0;; ++n) {
                const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) return;
                relay(client, n < cuts_.size() ? cuts_[n] : UINT64_MAX);
            }
        });
    }
    ~CuttingRelay() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::string url(const std::string& file) const { return "http://127.0.0.1:" + std::to_string(port_) + "/" + file; }
    uint64_t passed() const { return passed_; }

private:
    void relay(int client, uint64_t cut) {
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // A link's worth in flight, not loopback's many megabytes: what a cut loses on the way.
        const int window = kRelayWindow;
        ::setsockopt(server, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(S.nginx.port));
        std::vector<char> buf(256 << 10);
        uint64_t passed = 0;
        if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            while (passed < cut && ::poll(fds, 2, 60000) > 0) {
                const bool down = fds[1].revents != 0;
                const int from = down ? server : client, to = down ? client : server;
                const ssize_t n = ::read(from, buf.data(), down ? std::min<uint64_t>(buf.size(), cut - passed) : buf.size());
                if (n <= 0 || ::send(to, buf.data(), static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
                if (down) {
                    passed += static_cast<uint64_t>(n);
                    passed_ += static_cast<uint64_t>(n);
                }
            }
        }
        ::close(server);
        ::close(client);
    }

    std::vector<uint64_t> cuts_;
    std::atomic<uint64_t> passed_{0};
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

}  // namespace

void signedRoad(const fs::path& archive) {
    const double size = static_cast<double>(fs::file_size(archive));
    const std::string url = S.nginx.url(archive.filename().string());
    signArchive(archive);
    const fs::path signedApp = S.scratch / "apps/Signed.app";
    if (!fs::exists(signedApp)) {
        sh(S.makeBundle + " -o " + quote(signedApp) + " --url " + S.nginx.url("unused.zip") + " --public-key " +
           quote(keyDir() / "key.pub") + " >/dev/null");
    }
    const fs::path a = S.work / "A.zip", d = S.work / "D";
    const std::string anchor = "curl -s -o " + quote(a) + " " + url + " && curl -s -o " + quote(a) + ".minisig " + url +
                               ".minisig && minisign -Vqm " + quote(a) + " -p " + quote(keyDir() / "key.pub") +
                               " && unzip -qq -o " + quote(a) + " -d " + quote(d);
    std::vector<double> unsignedRuns, signedRuns, anchorRuns;
    for (int i = 0; i <= S.runs; ++i) {  // the first round warms up and is left out
        const double u = run(S.downloadApp, url);
        const double s = run(signedApp, url);
        ::sync();
        const double c = runChild({"/bin/sh", "-c", anchor}).seconds;
        fs::remove_all(d);
        fs::remove(a);
        fs::remove(a.string() + ".minisig");
        if (i == 0) continue;
        unsignedRuns.push_back(u);
        signedRuns.push_back(s);
        anchorRuns.push_back(c);
    }
    const double versusUnsigned = median(signedRuns) / median(unsignedRuns);
    const double versusAnchor = median(signedRuns) / median(anchorRuns);
    table(fmt("Signed agents: %.0f MiB archive, empty cache, whole run (download, check, unzip, agent), median of %d",
              size / kMiB, S.runs),
          {"The signed bundle also fetches the .minisig and checks it; the archive is hashed while it arrives.",
           "Anchor for the check: `curl -o A URL && curl -o A.minisig URL.minisig && minisign -Vm A -p KEY &&",
           "unzip -qq -o A -d D`. Every run starts after a sync()."},
          {{"signed against unsigned", secs(median(signedRuns)), secs(median(unsignedRuns)), times(versusUnsigned),
            "<= 1.15", versusUnsigned <= 1.15},
           {"signed against curl, curl, minisign -V, unzip", secs(median(signedRuns)), secs(median(anchorRuns)),
            times(versusAnchor), "< 1 (faster)", versusAnchor < 1}});
    clearCache();
}

void brokenConnections(const fs::path& archive) {
    const auto size = static_cast<uint64_t>(fs::file_size(archive));
    std::vector<double> sent, received, seconds;
    for (int i = 0; i < S.runs; ++i) {
        CuttingRelay relay({size / 4, size / 4, size / 4});  // at 25, 50 and 75 %
        const uintmax_t before = logSize();
        seconds.push_back(run(S.downloadApp, relay.url(archive.filename().string())));
        sent.push_back(sentSince(before, 4) / static_cast<double>(size));
        received.push_back(static_cast<double>(relay.passed()) / static_cast<double>(size));
    }
    table(fmt("Broken connections: %.0f MiB archive, the connection cut at 25, 50 and 75 %%, %d runs",
              static_cast<double>(size) / kMiB, S.runs),
          {"A relay in front of nginx ends the first three connections; the installer resumes each time (after",
           "its waits of 1, 2 and 4 s) and completes in the same run, or the benchmark stops. Bytes: nginx's",
           "$body_bytes_sent over all requests of the run, against the archive's size; it counts what was still",
           "on the way when a connection was cut (the relay takes a window of 256 KiB from nginx, a link's worth).",
           "Received: what the relay passed on to the installer, against the archive's size."},
          {{"bytes the server sent (worst)", times(maxOf(sent)), "1.000x", "", "<= 1.02", maxOf(sent) <= 1.02},
           {"bytes the installer received (worst)", times(maxOf(received)), "1.000x", "", "(for information)", {}},
           {"whole run, waits included (median)", secs(median(seconds)), "", "", "(for information)", {}}});
    clearCache();
}

void interruptedRun(const fs::path& archive) {
    const auto size = static_cast<uint64_t>(fs::file_size(archive));
    const std::string url = S.nginx.url(archive.filename().string());
    const fs::path partial = cacheDir() / ".download";
    std::vector<double> second, at;
    for (int i = 0; i < S.runs; ++i) {
        std::atomic<uint64_t> stoppedAt{0};
        run(S.downloadApp, url, {.whileRunning = [&](pid_t pid) {
                                     std::error_code ec;
                                     while (fs::file_size(partial, ec) < size / 2 || ec) {
                                         if (::kill(pid, 0) != 0) return;
                                         std::this_thread::sleep_for(std::chrono::microseconds(200));
                                     }
                                     stoppedAt = fs::file_size(partial, ec);
                                     ::kill(pid, SIGINT);
                                 },
                                 .mayFail = true});
        const uintmax_t before = logSize();
        ::sync();
        runChild({installer(S.downloadApp)}, {.env = installerEnv(url, false)});
        second.push_back(sentSince(before, 1) / static_cast<double>(size));
        at.push_back(static_cast<double>(stoppedAt) / static_cast<double>(size));
    }
    table(fmt("Interrupted and resumed: %.0f MiB archive, Ctrl-C at about half, then a second run, %d runs",
              static_cast<double>(size) / kMiB, S.runs),
          {fmt("SIGINT once the partial archive in the cache holds half (it held %.1f %% at the signal, median).",
               100 * median(at)),
           "Bytes: nginx's $body_bytes_sent for the second run's request, against the archive's size."},
          {{"bytes the second run received (worst)", times(maxOf(second)), "1.000x", "", "<= 0.52",
            maxOf(second) <= 0.52}});
    clearCache();
}

void together(const fs::path& archive) {
    const double size = static_cast<double>(fs::file_size(archive));
    const std::string url = S.nginx.url(archive.filename().string());
    std::vector<double> alone, all, sentAlone, sentAll;
    for (int i = 0; i < S.runs; ++i) {
        uintmax_t before = logSize();
        alone.push_back(run(S.downloadApp, url));
        sentAlone.push_back(sentSince(before, 1) / size);
        clearCache();
        ::sync();
        before = logSize();
        const auto start = Clock::now();
        std::vector<std::future<void>> eight;
        for (int n = 0; n < 8; ++n) {
            eight.push_back(std::async(std::launch::async, [&] {
                runChild({installer(S.downloadApp)}, {.env = installerEnv(url, false)});
            }));
        }
        for (auto& e : eight) e.get();
        all.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        sentAll.push_back(sentSince(before, 8) / size);
    }
    table(fmt("Installers started together: 8 on an empty cache, %.0f MiB archive, median of %d", size / kMiB, S.runs),
          {"One downloads; the others wait for it and revalidate the agent it cached (304). Bytes: nginx's",
           "$body_bytes_sent over all requests, against the archive's size. Time: until all 8 agents ran."},
          {{"bytes the server sent (worst)", times(maxOf(sentAll)), times(maxOf(sentAlone)), "", "<= 1.05",
            maxOf(sentAll) <= 1.05},
           {"time until every agent ran", secs(median(all)), secs(median(alone)), times(median(all) / median(alone)),
            "(for information)", {}}});
    clearCache();
}

}  // namespace bench

}  // namespace bi
