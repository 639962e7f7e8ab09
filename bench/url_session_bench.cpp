// Throughput and peak memory of the URL session against curl, both fetching the same files
// from an nginx on 127.0.0.1 that the benchmark starts itself. Not a test: it prints a table.
//
//   url_session_bench                 the whole benchmark
//   url_session_bench --fetch URL     one download by the session (the child process measured)
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/url_session.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Stands in for the console main loop, which this branch does not have yet: each report
// hops to this thread and waits there, as the download window's reports will.
class MainThread {
public:
    MainThread() : thread_([this] { loop(); }) {}
    ~MainThread() {
        post(nullptr);
        thread_.join();
    }
    void runSync(const std::function<void()>& fn) {
        std::unique_lock lock(mutex_);
        bool done = false;
        queue_.push_back([&] {
            fn();
            std::lock_guard inner(mutex_);
            done = true;
            cv_.notify_all();
        });
        cv_.notify_all();
        cv_.wait(lock, [&] { return done; });
    }

private:
    void post(std::function<void()> fn) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(fn));
        cv_.notify_all();
    }
    void loop() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] { return !queue_.empty(); });
                fn = std::move(queue_.front());
                queue_.pop_front();
            }
            if (!fn) return;
            fn();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
    std::thread thread_;
};

class HoppingDelegate : public platform::DownloadDelegate {
public:
    explicit HoppingDelegate(MainThread& main) : main_(main) {}
    void didWriteData(platform::DownloadTask&, int64_t, int64_t total, int64_t) override {
        main_.runSync([&] { shown_ = total; });
    }
    void didFinishDownloading(platform::DownloadTask&, const std::string& location) override {
        size_ = static_cast<int64_t>(fs::file_size(location));
    }
    void didComplete(platform::DownloadTask&, const std::optional<platform::TransferError>& error) override {
        std::lock_guard lock(mutex_);
        failed_ = error.has_value();
        if (error) std::fprintf(stderr, "download failed: %s\n", error->reason.c_str());
        done_ = true;
        cv_.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return done_; });
        return !failed_ && size_ == shown_;
    }

private:
    MainThread& main_;
    int64_t shown_ = 0, size_ = -1;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false, failed_ = false;
};

int fetch(const std::string& url) {
    MainThread main;
    HoppingDelegate delegate(main);
    {
        auto session = platform::makeUrlSession(delegate);
        session->downloadTask(url).resume();
        if (!delegate.wait()) return 1;
    }
    return 0;
}

// Whatever the end, nginx goes and so do the gigabytes of data.
pid_t nginxPid = 0;
fs::path scratch;
void cleanUp() {
    if (nginxPid > 0) {
        ::kill(nginxPid, SIGTERM);
        ::waitpid(nginxPid, nullptr, 0);
        nginxPid = 0;
    }
    if (!scratch.empty()) fs::remove_all(scratch);
    scratch.clear();
}

struct Run {
    double seconds = 0;
    long maxRssKiB = 0;
};

// Runs argv to its end; the wall time and the child's peak resident memory.
Run runChild(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", argv[0].c_str());
        std::exit(1);
    }
    return {seconds, usage.ru_maxrss};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(s, reinterpret_cast<sockaddr*>(&addr), len);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(s);
    return ntohs(addr.sin_port);
}

bool accepts(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(s);
    return ok;
}

// Data that no layer between the server and the file could shrink.
void writeRandomFile(const fs::path& path, size_t size) {
    std::vector<uint64_t> block(1 << 17);  // 1 MiB
    uint64_t x = 0x9e3779b97f4a7c15ULL;
    std::ofstream out(path, std::ios::binary);
    for (size_t done = 0; done < size; done += block.size() * 8) {
        for (auto& word : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            word = x;
        }
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
    }
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

pid_t startNginx(const fs::path& dir, int port) {
    for (const char* sub : {"www", "tmp"}) fs::create_directories(dir / sub);
    const std::string d = dir.string();
    std::ofstream conf(dir / "nginx.conf");
    // Workers run as root only when the master does; otherwise they could not read the
    // private scratch directory.
    if (::geteuid() == 0) conf << "user root;\n";
    conf << "worker_processes 1;\npid " << d << "/nginx.pid;\nerror_log " << d << "/error.log;\n"
         << "events { worker_connections 64; }\nhttp {\n  access_log off;\n  sendfile on;\n"
         << "  default_type application/octet-stream;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        conf << "  " << temp << "_temp_path " << d << "/tmp/" << temp << ";\n";
    }
    conf << "  server { listen 127.0.0.1:" << port << "; root " << d << "/www; }\n}\n";
    conf.close();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/usr/sbin/nginx", "nginx", "-p", (d + "/").c_str(), "-c", (d + "/nginx.conf").c_str(), "-e",
                (d + "/error.log").c_str(), "-g", "daemon off;", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 100 && !accepts(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!accepts(port)) {
        std::fprintf(stderr, "nginx did not start:\n%s\n", readAll(dir / "error.log").c_str());
        ::kill(pid, SIGTERM);
        std::exit(1);
    }
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--fetch") return fetch(argv[2]);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    char tmpl[] = "/tmp/bi-bench-XXXXXX";
    const fs::path dir = ::mkdtemp(tmpl);
    scratch = dir;
    std::atexit(cleanUp);
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    constexpr size_t kMiB = 1 << 20;
    std::printf("writing test files in %s\n", dir.c_str());
    fs::create_directories(dir / "www");
    writeRandomFile(dir / "www/100m.bin", 100 * kMiB);
    writeRandomFile(dir / "www/1g.bin", 1024 * kMiB);

    const int port = freePort();
    nginxPid = startNginx(dir, port);
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    const std::string big = base + "/1g.bin";
    const std::string curlOut = (dir / "curl.out").string();
    const std::vector<std::string> curl = {"/usr/bin/curl", "-s", "-o", curlOut, big};
    const std::vector<std::string> session = {self, "--fetch", big};

    // Warm-up: the server's files in the page cache, both programs once.
    runChild(curl);
    runChild(session);
    std::vector<double> curlTimes, sessionTimes;
    long rss1g = 0;
    for (int i = 0; i < 3; ++i) {
        curlTimes.push_back(runChild(curl).seconds);
        fs::remove(curlOut);
        const Run r = runChild(session);
        sessionTimes.push_back(r.seconds);
        rss1g = std::max(rss1g, r.maxRssKiB);
    }
    const long rss100m = runChild({self, "--fetch", base + "/100m.bin"}).maxRssKiB;

    cleanUp();

    const double curlRate = 1024 / median(curlTimes);
    const double sessionRate = 1024 / median(sessionTimes);
    std::printf("\n1 GiB over loopback, median of 3 after a warm-up\n");
    std::printf("  %-44s %8.0f MiB/s\n", "curl -s -o FILE URL", curlRate);
    std::printf("  %-44s %8.0f MiB/s\n", "URL session, synchronous hop per report", sessionRate);
    std::printf("  %-44s %8.2f   (target >= 0.90)\n", "ratio session / curl", sessionRate / curlRate);
    std::printf("\nPeak resident memory of the session's process (ru_maxrss)\n");
    std::printf("  %-44s %8.1f MiB\n", "100 MiB download", static_cast<double>(rss100m) / 1024);
    std::printf("  %-44s %8.1f MiB\n", "1 GiB download", static_cast<double>(rss1g) / 1024);
    return 0;
}
