// Throughput and peak memory of the URL session against curl, both fetching the same files
// from an nginx on 127.0.0.1 that the benchmark starts itself. Not a test: it prints a table.
//
//   url_session_bench [--runs N]      the whole benchmark
//   url_session_bench --fetch URL     one download by the session (the child process measured)
#include "bench.h"
#include "net/url_session.h"
#include "ui/main_loop.h"

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
    const int runs = argc == 3 && std::string(argv[1]) == "--runs" ? std::max(1, std::atoi(argv[2])) : 5;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    const std::string dir = benchScratch(), self = fs::read_symlink("/proc/self/exe").string();
    std::printf("Machine: %s\nWriting test files in %s\n", machine().c_str(), dir.c_str());
    fs::create_directories(dir + "/www");
    writeRandomFile(dir + "/www/100m.bin", 100 * kMiB);
    writeRandomFile(dir + "/www/1g.bin", 1024 * kMiB);
    static const Nginx nginx(dir + "/www");

    const std::string curlOut = dir + "/curl.out";
    const Figures f = rounds(runs, [&](Figures& fig, int) {
        fig.add("curl", run({"/usr/bin/curl", "-s", "-o", curlOut, nginx.url("1g.bin")}).seconds);
        fs::remove(curlOut);
        const auto session = run({self, "--fetch", nginx.url("1g.bin")});
        fig.add("session", session.seconds);
        fig.add("rss", static_cast<double>(session.maxRssKiB));
    });
    const auto rss100m = static_cast<double>(run({self, "--fetch", nginx.url("100m.bin")}).maxRssKiB);
    const double ratio = f.median("curl") / f.median("session");
    table(fmt("URL session: 1 GiB over loopback, median of %d after a warm-up", runs), {},
          {{"throughput, a synchronous hop to the console main loop per report", rate(1024 * kMiB, f.median("session")),
            rate(1024 * kMiB, f.median("curl")), fmt("%.2f", ratio), ">= 0.90", ratio},
           {"peak resident memory (ru_maxrss), 100 MiB download", mib(rss100m)},
           {"peak resident memory (ru_maxrss), 1 GiB download, worst", mib(f.worst("rss"))}},
          "session | curl -s -o FILE URL");
    return 0;
}
