// Throughput and peak memory of the URL session against curl, both fetching the same files
// from an nginx on 127.0.0.1 that the benchmark starts itself. Not a test: it prints a table.
//
//   url_session_bench [--runs N]      the whole benchmark
//   url_session_bench --fetch URL     one download by the session (the child process measured)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "ui/main_loop.h"
#include "net/url_session.h"

using namespace bi;

using namespace bench;

namespace {

// Each report hops to the console main loop on the main thread and waits there, as the
// download window's reports do.
class HoppingDelegate : public net::DownloadDelegate {
public:
    explicit HoppingDelegate(ui::MainLoop& main) : main_(main) {}
    void onProgress(net::DownloadTask&, int64_t, int64_t total, int64_t) override {
        main_.runSync([&] { shown_ = total; });
    }
    void onArrived(net::DownloadTask&, const std::string& location) override {
        size_ = static_cast<int64_t>(fs::file_size(location));
    }
    void onEnded(net::DownloadTask&, const std::optional<net::TransferError>& error) override {
        if (error) std::fprintf(stderr, "download failed: %s\n", error->reason.c_str());
        main_.stop(error ? 1 : 0);
    }
    bool complete() const { return size_ == shown_; }

private:
    ui::MainLoop& main_;
    int64_t shown_ = 0;  // on the main thread
    int64_t size_ = -1;  // on the worker, read after the loop has ended
};

int fetch(const std::string& url) {
    const auto main = ui::makeConsoleMainLoop();
    HoppingDelegate delegate(*main);
    const auto session = net::makeUrlSession(delegate);
    session->downloadTask(url).resume();
    const int status = main->run();
    return status == 0 && delegate.complete() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--fetch") return fetch(argv[2]);
    int runs = 5;
    if (argc == 3 && std::string(argv[1]) == "--runs") runs = std::max(1, std::atoi(argv[2]));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    const fs::path dir = makeScratch("bi-url-session-bench");
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    std::printf("Machine: %s\n", machine().c_str());
    std::printf("Writing test files in %s\n", dir.c_str());
    fs::create_directories(dir / "www");
    writeRandomFile(dir / "www/100m.bin", 100 * kMiB);
    writeRandomFile(dir / "www/1g.bin", 1024 * kMiB);
    const Nginx nginx = startNginx(dir / "www", dir / "nginx");

    const std::string big = nginx.url("1g.bin");
    const std::string curlOut = (dir / "curl.out").string();
    const std::vector<std::string> curl = {"/usr/bin/curl", "-s", "-o", curlOut, big};
    const std::vector<std::string> session = {self, "--fetch", big};

    std::vector<double> curlTimes, sessionTimes, rss1g;
    for (int i = 0; i <= runs; ++i) {  // the first round warms up and is left out
        const double c = runChild(curl).seconds;
        fs::remove(curlOut);
        const ChildResult r = runChild(session);
        if (i == 0) continue;
        curlTimes.push_back(c);
        sessionTimes.push_back(r.seconds);
        rss1g.push_back(static_cast<double>(r.maxRssKiB));
    }
    const double rss100m = static_cast<double>(runChild({self, "--fetch", nginx.url("100m.bin")}).maxRssKiB);

    const double curlRate = 1024 / median(curlTimes);
    const double sessionRate = 1024 / median(sessionTimes);
    std::printf("\n### URL session: 1 GiB over loopback, median of %d after a warm-up\n\n", runs);
    std::printf("| measure | session | curl -s -o FILE URL | ratio | target | met |\n|---|---:|---:|---:|---|---|\n");
    std::printf("| throughput, a synchronous hop to the console main loop per report | %.0f MiB/s | %.0f MiB/s | %.2f | "
                ">= 0.90 | %s |\n",
                sessionRate, curlRate, sessionRate / curlRate, sessionRate / curlRate >= 0.90 ? "yes" : "**no**");
    std::printf("| peak resident memory (ru_maxrss), 100 MiB download | %.1f MiB | | | | |\n", rss100m / 1024);
    std::printf("| peak resident memory (ru_maxrss), 1 GiB download, worst | %.1f MiB | | | | |\n", maxOf(rss1g) / 1024);
    return 0;
}
