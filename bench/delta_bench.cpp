// An agent update that costs what changed, against the full download of the same release in
// the same run. Not a test: it prints a table.
//
//   delta_bench [--runs N] [--files N] [--mib SIZE]
//
// The agent: 1,000 files of incompressible bytes, 100 MiB, deflated by the real zip; a release
// in which 5 % of the files changed (chosen with a fixed seed), and one in which every file
// changed. nginx (limit_rate 10m) serves them behind a relay of the benchmark's on 127.0.0.1,
// which is the link: 10 MiB/s (nginx's own limit lets the first second's worth through at
// once) and 20 ms before each answer; it can also play a server that answers one range a
// request, keeping the first range of each Range header.
//
// The measured side is `update()`, which runs the update with the installer's modules and URL
// session as the download run will: the archive's end with If-None-Match, the directory, the
// plan, the reused extents copied, the ranges fetched (one by one once the server answers
// only one a request), the proof, and the whole archive whenever any of it fails. The anchor is
// a plain GET of the new archive by the same session. Once the installer carries the update
// out itself, `update()` becomes a run of the built installer on a cache holding the old agent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <random>
#include <thread>

#include "agent/delta_assembly.h"
#include "agent/delta_plan.h"
#include "agent/zip_directory.h"
#include "bench.h"
#include "net/url_session.h"

namespace bi::bench {
namespace {

struct {
    std::string scratch, www, work;
    int runs = 5, files = 1000;
    uint64_t mib = 100;
} S;

constexpr double kLinkRate = 10.0 * kMiB;
constexpr auto kAnswerDelay = std::chrono::milliseconds(20);
constexpr auto kIdle = std::chrono::milliseconds(50);

// ---- the link: a relay in front of nginx

// The first range of a request's Range header, as a server that answers one range a request
// would take it.
std::string firstRangeOnly(std::string head) {
    const auto at = head.find("\r\nRange: bytes=");
    if (at == std::string::npos) return head;
    const auto end = head.find("\r\n", at + 2), comma = head.find(',', at);
    if (comma < end) head.erase(comma, end - comma);
    return head;
}

class LinkRelay {
public:
    explicit LinkRelay(int serverPort)
        : serverPort_(serverPort), listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr = loopback(0);
        socklen_t len = sizeof addr;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len);
        ::listen(listener_, 16);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        url_ = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
        thread_ = std::thread([this] {
            std::vector<std::thread> connections;
            for (;;) {
                const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) break;
                connections.emplace_back([this, client] { relay(client); });
            }
            for (auto& c : connections) c.join();
        });
    }
    ~LinkRelay() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::string url(const std::string& file) const { return url_ + file; }
    std::atomic<bool> oneRange{false};

private:
    void relay(int client) {
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in addr = loopback(serverPort_);
        std::vector<char> buf(64 << 10);
        std::string head;
        bool awaiting = false;
        Clock::time_point asked, linkStart = Clock::now();
        double carried = 0;
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        bool open = ::connect(server, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        while (open && ::poll(fds, 2, 60000) > 0) {
            if (fds[0].revents != 0) {  // requests, forwarded whole (GETs have no body)
                const ssize_t n = ::read(client, buf.data(), buf.size());
                open = n > 0;
                if (open) head.append(buf.data(), static_cast<size_t>(n));
                for (size_t end; open && (end = head.find("\r\n\r\n")) != std::string::npos;) {
                    std::string request = head.substr(0, end + 4);
                    head.erase(0, end + 4);
                    if (oneRange) request = firstRangeOnly(request);
                    open = ::send(server, request.data(), request.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(request.size());
                    awaiting = true;
                    asked = Clock::now();
                }
            }
            if (open && fds[1].revents != 0) {
                if (awaiting) std::this_thread::sleep_until(asked + kAnswerDelay);
                awaiting = false;
                const ssize_t n = ::read(server, buf.data(), buf.size());
                open = n > 0;
                // No faster than the link, and no credit for the time it was idle; a late wake-up
                // on a busy machine is made up for, as a real link's buffers would.
                const auto now = Clock::now();
                if (now > linkStart + std::chrono::duration<double>(carried / kLinkRate) + kIdle)
                    linkStart = now, carried = 0;
                for (ssize_t put = 0; open && put < n;) {
                    const ssize_t w = ::send(client, buf.data() + put, static_cast<size_t>(n - put), MSG_NOSIGNAL);
                    open = w > 0;
                    put += open ? w : 0;
                }
                carried += static_cast<double>(std::max<ssize_t>(n, 0));
                std::this_thread::sleep_until(linkStart + std::chrono::duration_cast<Clock::duration>(
                                                              std::chrono::duration<double>(carried / kLinkRate)));
            }
        }
        ::close(server);
        ::close(client);
    }

    int serverPort_;
    int listener_;
    std::string url_;
    std::thread thread_;
};

// ---- one request at a time through the URL session

struct Answer {
    long status = 0;
    std::string tag;
    net::PlacedBytes placed;
    double firstByte = -1, body = -1;
    int64_t bytes = 0;
    std::optional<net::TransferError> error;
};

class Fetcher final : public net::DownloadDelegate {
public:
    Answer get(net::TransferRequest request) {
        std::unique_lock lock(mutex_);
        ended_ = false;
        bytes_ = 0;
        net::DownloadTask& task = session_->downloadTask(std::move(request));
        task.resume();
        done_.wait(lock, [this] { return ended_; });
        const net::HttpResponse r = task.response();
        return {r.statusCode, r.header("ETag").value_or(""), task.placed(), r.firstByteSeconds, r.bodySeconds, bytes_,
                error_};
    }

private:
    void onProgress(net::DownloadTask&, int64_t, int64_t total, int64_t) override { bytes_ = total; }
    void onArrived(net::DownloadTask&, const std::string&) override {}
    void onEnded(net::DownloadTask&, const std::optional<net::TransferError>& error) override {
        std::lock_guard lock(mutex_);
        error_ = error;
        ended_ = true;
        done_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable done_;
    bool ended_ = false;
    int64_t bytes_ = 0;
    std::optional<net::TransferError> error_;
    std::unique_ptr<net::UrlSession> session_ = net::makeUrlSession(*this);  // last: it goes first
};

// ---- the measured side: an update of the kept archive into the server's new one

struct Outcome {
    double seconds = 0, proofSeconds = 0;
    bool whole = false;  // the whole archive was fetched after all
    std::string why;     // why, then
    size_t reused = 0, fetched = 0;
    std::string result;  // the file that holds the new archive
};

std::vector<net::ByteRange> rangesOf(const std::vector<Span>& spans) {
    std::vector<net::ByteRange> ranges;
    for (const Span& s : spans) ranges.push_back({static_cast<int64_t>(s.offset), static_cast<int64_t>(s.end()) - 1});
    return ranges;
}

Outcome update(const std::string& url, const std::string& kept, const std::string& keptTag) {
    const auto start = Clock::now();
    Outcome o;
    o.result = S.work + "/update";
    const std::string whole = S.work + "/whole";
    fs::remove(whole), fs::remove(o.result);
    Fetcher fetcher;
    const auto wholeArchive = [&](std::string why) {
        o.whole = true, o.why = std::move(why), o.result = whole;
        fetcher.get({.url = url, .file = whole});
        o.seconds = since(start);
        return o;
    };
    const ZipRead oldRead = readZipDirectoryOf(kept);
    if (!oldRead.directory) return wholeArchive("the kept archive: " + oldRead.error);
    const ZipDirectory& old = *oldRead.directory;

    net::TransferRequest ask{.url = url, .ifNoneMatch = keptTag, .file = whole};
    ask.ranges = {{-static_cast<int64_t>(tailToAsk(old.directorySize))}};
    ask.rangeFile = o.result;
    const Answer end = fetcher.get(ask);
    if (end.status == 200) return o.whole = true, o.result = whole, o.seconds = since(start), o;
    if (end.status != 206 || end.error || end.placed.spans.size() != 1 || end.tag.empty() || end.tag.starts_with("W/"))
        return wholeArchive("the archive's end was not a 206 of one range with a strong tag");
    const auto length = static_cast<uint64_t>(end.placed.fileLength);
    std::vector<Span> held = {
        {static_cast<uint64_t>(end.placed.spans[0].first), static_cast<uint64_t>(end.placed.spans[0].second)}};
    ZipRead read = readZipDirectory(readSpan(o.result, held[0].offset, held[0].length).value_or(""), length);
    ask.ifNoneMatch.reset();
    ask.ifRange = end.tag;
    if (read.needFrom) {  // the directory begins before the end asked for
        ask.ranges = {{static_cast<int64_t>(*read.needFrom), static_cast<int64_t>(held[0].offset) - 1}};
        const Answer more = fetcher.get(ask);
        if (more.status != 206 || more.error) return wholeArchive("the directory's start did not come");
        held = {{*read.needFrom, length - *read.needFrom}};
        read = readZipDirectory(readSpan(o.result, *read.needFrom, held[0].length).value_or(""), length);
    }
    if (!read.directory) return wholeArchive("the new archive's directory: " + read.error);

    Link link{end.firstByte, end.body >= 0 ? static_cast<double>(end.bytes) / (end.firstByte + end.body) : 0, true};
    DeltaPlan plan = planDelta(old, *read.directory, held, gapWorthFetching(link));
    if (!deltaPays(plan, length, link)) return wholeArchive("too little to reuse");
    o.reused = plan.reusedEntries, o.fetched = plan.fetchedEntries;
    if (const AssemblyResult copied = copyReused(kept, o.result, length, plan.reuse); !copied)
        return wholeArchive(copied.why);
    for (std::vector<Span> queue = plan.fetch; !queue.empty();) {
        const std::vector<Span> batch = requestsFor(queue, link.severalRangesARequest ? kRangesPerRequest : 1)[0];
        ask.ranges = rangesOf(batch);
        const Answer got = fetcher.get(ask);
        if (got.status == 200) return o.whole = true, o.why = "a 200", o.result = whole, o.seconds = since(start), o;
        if (got.status != 206 || got.error || got.tag != end.tag) return wholeArchive("a range did not come");
        for (const auto& [at, size] : got.placed.spans)
            held.push_back({static_cast<uint64_t>(at), static_cast<uint64_t>(size)});
        if (batch.size() > 1 && got.placed.spans.size() == 1 && link.severalRangesARequest) {
            // One range a request: the rest one by one, with the gaps a round trip is worth.
            link.severalRangesARequest = false;
            queue = planDelta(old, *read.directory, held, gapWorthFetching(link)).fetch;
        } else {
            queue = missing(queue, held);
        }
    }
    const auto proving = Clock::now();
    const Proof proof = proveArchive(o.result, *read.directory);
    o.proofSeconds = since(proving);
    if (!proof.ok) return wholeArchive("the proof: " + proof.why);
    o.seconds = since(start);
    return o;
}

// The anchor: the same session's plain GET of the whole archive.
double fullDownload(const std::string& url) {
    const auto start = Clock::now();
    fs::remove(S.work + "/full");
    Fetcher().get({.url = url, .file = S.work + "/full"});
    return since(start);
}

// ---- the archives and the server

// Writes the agent's files into dir, the changed ones (their indices) from another seed, and
// zips them in one order into archive.
void makeRelease(const std::string& archive, const std::vector<bool>& changed, uint64_t seed) {
    const std::string dir = S.scratch + "/agent";
    fs::remove_all(dir);
    fs::create_directories(dir + "/lib");
    writeFile(dir + "/install", "#!/bin/sh\necho agent\n", 0755);
    std::string names = "install\n";
    const uint64_t each = S.mib * kMiB / static_cast<uint64_t>(S.files);
    for (int i = 0; i < S.files; ++i) {
        const std::string name = fmt("lib/file%04d.bin", i);
        writeFile(dir + "/" + name,
                  randomBytes(each, changed[static_cast<size_t>(i)] ? seed * 100003 + static_cast<uint64_t>(i)
                                                                    : static_cast<uint64_t>(i) + 1));
        names += name + "\n";
    }
    writeFile(dir + "/names", names);
    fs::remove(archive);
    run({"/bin/sh", "-c", "touch -d 2026-01-01 install lib/* && zip -q -X -@ \"$0\" < names", archive}, {.cwd = dir});
    fs::remove_all(dir);
}

struct Served {
    double bytes = 0;
    int requests = 0;
};

// What nginx logged past `from` bytes of its access log.
Served served(const Nginx& nginx, size_t from) {
    Served s;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // nginx logs when the request ends
    std::istringstream log(nginx.accessLog().substr(from));
    for (std::string line; std::getline(log, line);) {
        s.bytes += std::stod(line.substr(line.find(' ') + 1));
        ++s.requests;
    }
    return s;
}

void bench() {
    std::printf("Writing the archives (%d files, %llu MiB)...\n", S.files, static_cast<unsigned long long>(S.mib));
    std::vector<bool> none(static_cast<size_t>(S.files)), some = none, all(static_cast<size_t>(S.files), true);
    std::vector<int> order(static_cast<size_t>(S.files));
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(31));
    for (int i = 0; i < S.files / 20; ++i) some[static_cast<size_t>(order[static_cast<size_t>(i)])] = true;
    const std::string kept = S.scratch + "/kept.zip";
    makeRelease(kept, none, 0);
    makeRelease(S.www + "/some.zip", some, 1);
    makeRelease(S.www + "/all.zip", all, 2);
    const Nginx nginx(S.www, "limit_rate 10m;");
    LinkRelay link(nginx.port());
    const double size = static_cast<double>(fs::file_size(S.www + "/some.zip"));

    Outcome last;
    const Figures f = rounds(S.runs, [&](Figures& fig, int round) {
        for (const auto& [name, oneRange] : {std::pair{"some", false}, {"one-range", true}, {"all", false}}) {
            const std::string file = std::string(name) == "all" ? "all.zip" : "some.zip";
            link.oneRange = oneRange;
            const auto anchor = [&] {
                const size_t from = nginx.accessLog().size();
                fig.add(std::string(name) + " anchor", fullDownload(link.url(file)));
                fig.add(std::string(name) + " anchor bytes", served(nginx, from).bytes);
            };
            ::sync();
            if (round % 2 == 0) anchor();  // the two take turns going first
            const size_t from = nginx.accessLog().size();
            last = update(link.url(file), kept, "\"kept\"");
            const Served s = served(nginx, from);
            if (round % 2 == 1) anchor();
            fig.add(std::string(name) + " seconds", last.seconds);
            fig.add(std::string(name) + " bytes", s.bytes);
            fig.add(std::string(name) + " requests", s.requests);
            fig.add(std::string(name) + " proof", last.proofSeconds);
            fig.add(std::string(name) + " whole", last.whole ? 1 : 0);
            fig.add(std::string(name) + " reused", static_cast<double>(last.reused));
            fig.add(std::string(name) + " same", readFile(last.result) == readFile(S.www + "/" + file) ? 1 : 0);
            if (last.whole && std::string(name) != "all")
                std::printf("%s: the whole archive: %s\n", name, last.why.c_str());
        }
    });
    const auto rows = [&](const std::string& k, const std::string& what, const std::string& bytesTarget,
                          const std::string& timeTarget, const std::string& requestsTarget) {
        const double bytes = f.worst(k + " bytes") / f.median(k + " anchor bytes"),
                     time = f.median(k + " seconds") / f.median(k + " anchor");
        std::vector<Row> r = {
            {what + ": bytes the server sent (worst)", fmt("%.2f MiB", f.worst(k + " bytes") / kMiB),
             fmt("%.2f MiB", f.median(k + " anchor bytes") / kMiB), times(bytes), bytesTarget, bytes},
            {what + ": time (median)", secs(f.median(k + " seconds")), secs(f.median(k + " anchor")), times(time),
             timeTarget, time},
            {what + ": requests (worst)", fmt("%.0f", f.worst(k + " requests")), "1", "", requestsTarget,
             requestsTarget.empty() ? std::nullopt : std::optional(f.worst(k + " requests"))},
        };
        if (k != "all") {
            r.push_back({what + ": the proof's pass over the result (median)", secs(f.median(k + " proof")), "", "",
                         "(for information)"});
        }
        r.push_back({what + ": the result is the server's archive, byte for byte (runs)",
                     fmt("%.0f of %zu", f.median(k + " same") * static_cast<double>(f.at(k + " same").size()),
                         f.at(k + " same").size()),
                     "", "", "(for information)"});
        return r;
    };
    std::vector<Row> figures = rows("some", "5 % of the files changed", "<= 0.07", "<= 0.15", "<= 20");
    for (auto& r : rows("one-range", "the same, one range a request", "<= 0.12", "<= 0.30", "")) figures.push_back(r);
    for (auto& r : rows("all", "every file changed", "<= 1.02", "<= 1.02", "")) figures.push_back(r);
    table(fmt("Updates: %d files, %.0f MiB, deflated, incompressible; a link of 10 MiB/s and 20 ms an answer; "
              "median of %d",
              S.files, size / kMiB, S.runs),
          {fmt("Machine: %s.", machine().c_str()),
           "Anchor: a plain GET of the same new archive by the same URL session, through the same link, in",
           "the same round. Bytes: nginx's $body_bytes_sent over the requests of each (for several ranges a",
           "request, the multipart answer's part headers included). The update ends with the new archive proven",
           "(its length, directory, and every entry inflated to its CRC-32), ready to be extracted.",
           fmt("Entries reused of %d: %.0f (5 %%), %.0f (one range a request), %.0f (every file changed: the whole",
               S.files + 1, f.median("some reused"), f.median("one-range reused"), f.median("all reused")),
           "archive is fetched instead, after the request for its end)."},
          figures, "update | full download");
}

}  // namespace
}  // namespace bi::bench

int main(int argc, char** argv) {
    using namespace bi::bench;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            S.runs = std::atoi(argv[++i]);
        else if (a == "--files" && i + 1 < argc)
            S.files = std::atoi(argv[++i]);
        else if (a == "--mib" && i + 1 < argc)
            S.mib = std::strtoull(argv[++i], nullptr, 10);
        else
            die("usage: delta_bench [--runs N] [--files N] [--mib SIZE]");
    }
    S.scratch = benchScratch();
    S.www = S.scratch + "/www";
    S.work = S.scratch + "/work";
    fs::create_directories(S.www);
    fs::create_directories(S.work);
    std::printf("Command: delta_bench --runs %d --files %d --mib %llu\n", S.runs, S.files,
                static_cast<unsigned long long>(S.mib));
    bench();
    return 0;
}
