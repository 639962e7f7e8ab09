#include "platform/url_session.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <thread>

#include "http_server.h"
#include "support.h"

using namespace std::chrono_literals;
using platform::TransferErrorKind;
using testsupport::ScratchDir;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr auto kCancelBound = 1000ms;  // sanitizers slow thread start-up and the allocator
#else
constexpr auto kCancelBound = 200ms;
#endif

char bodyByte(size_t i) { return static_cast<char>((i * 131 + i / 7) & 0xff); }
std::string body(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = bodyByte(i);
    return s;
}

// The loopback server, with bodies that drip, stall or drop.
class Server : public testsupport::HttpServer {
public:
    Server() : http(**this) { http.set_keep_alive_max_count(1); }
    ~Server() { stopping = true; }  // before the base stops the server: dripping ends at once

    // `total` bytes in pieces with a gap before each but the first; the connection drops
    // after `dropAfter` bytes.
    void drip(const std::string& path, size_t total, size_t piece, std::chrono::milliseconds gap,
              size_t dropAfter = SIZE_MAX) {
        http.Get(path, [=, this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(total, "application/octet-stream",
                                     [=, this](size_t offset, size_t, httplib::DataSink& sink) {
                                         if (offset >= dropAfter || (offset > 0 && !pause(gap))) return false;
                                         const std::string all = body(offset + std::min(piece, total - offset));
                                         return sink.write(all.data() + offset, all.size() - offset);
                                     });
        });
    }

    httplib::Server& http;

private:
    bool pause(std::chrono::milliseconds gap) {
        for (auto end = std::chrono::steady_clock::now() + gap; std::chrono::steady_clock::now() < end;) {
            if (stopping) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    std::atomic<bool> stopping{false};
};

struct Event {
    explicit Event(char k) : kind(k), thread(std::this_thread::get_id()) {}
    char kind;  // 'p'rogress, 'f'inished, 'c'omplete
    std::thread::id thread;
    int64_t bytes = 0, total = 0, expected = 0;
    std::string content;
    mode_t mode = 0;
    std::optional<platform::TransferError> error;
};

class Recorder : public platform::DownloadDelegate {
public:
    void didWriteData(platform::DownloadTask&, int64_t bytes, int64_t total, int64_t expected) override {
        Event e('p');
        e.bytes = bytes;
        e.total = total;
        e.expected = expected;
        add(e);
    }
    void didFinishDownloading(platform::DownloadTask&, const std::string& location) override {
        struct stat st{};
        ::stat(location.c_str(), &st);
        Event e('f');
        finished = location;
        e.content = testsupport::readFile(location);
        e.mode = st.st_mode & 0777;
        add(e);
    }
    void didComplete(platform::DownloadTask&, const std::optional<platform::TransferError>& error) override {
        Event e('c');
        e.error = error;
        e.content = testsupport::exists(finished) ? "file left" : "";
        add(e);
    }
    // Waits until `count` reports of this kind have come.
    bool waitFor(char kind, long count = 1, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] {
            return std::count_if(events.begin(), events.end(), [&](const Event& e) { return e.kind == kind; }) >= count;
        });
    }
    std::string kinds() {
        std::string s;
        for (const auto& e : snapshot()) s += e.kind;
        return s;
    }
    std::vector<Event> snapshot() {
        std::lock_guard lock(mutex);
        return events;
    }
    std::optional<platform::TransferError> error() { return snapshot().back().error; }

private:
    void add(Event e) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(e));
        changed.notify_all();
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
    std::string finished = "/nonexistent";
};

// One download to the end; returns the events as a string of kinds.
struct Download {
    explicit Download(const std::string& url, platform::SessionOptions options = {}) {
        options.temporaryDirectory = scratch.path();
        session = platform::makeUrlSession(recorder, options);
        task = &session->downloadTask(url);
        task->resume();
    }
    std::string run() {
        EXPECT_TRUE(recorder.waitFor('c')) << task->url();
        std::this_thread::sleep_for(20ms);  // nothing may follow the completion
        return recorder.kinds();
    }
    ScratchDir scratch;
    Recorder recorder;
    std::unique_ptr<platform::UrlSession> session;
    platform::DownloadTask* task = nullptr;
};

TEST(UrlSession, ReportsInOrderOnOneWorkerThreadAndRemovesTheFile) {
    Server server;
    const size_t size = 4 << 20;
    server.drip("/file", size, 256 << 10, 15ms);
    Download d(server.url("/file"));
    const std::string kinds = d.run();
    const auto events = d.recorder.snapshot();

    ASSERT_GE(kinds.size(), 4u);
    EXPECT_EQ(kinds.find_first_not_of('p'), kinds.size() - 2) << kinds;
    EXPECT_EQ(kinds.substr(kinds.size() - 2), "fc");
    int64_t sum = 0;
    for (const auto& e : events) {
        EXPECT_EQ(e.thread, events[0].thread);
        if (e.kind != 'p') continue;
        sum += e.bytes;
        EXPECT_GT(e.bytes, 0);
        EXPECT_EQ(e.total, sum);
        EXPECT_EQ(e.expected, static_cast<int64_t>(size));
    }
    EXPECT_NE(events[0].thread, std::this_thread::get_id());
    EXPECT_EQ(sum, static_cast<int64_t>(size));
    EXPECT_TRUE(events[events.size() - 2].content == body(size));
    EXPECT_EQ(events[events.size() - 2].mode, 0600u);
    EXPECT_FALSE(events.back().error.has_value());
    EXPECT_EQ(events.back().content, "");  // the file went before the completion report
    EXPECT_EQ(d.task->response().statusCode, 200);
    EXPECT_TRUE(testsupport::listDir(d.scratch.path()).empty());
}

TEST(UrlSession, ResponseIsTheFinalOneOfARedirectChain) {
    Server server;
    auto& http = server.http;
    http.Get("/first", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("ETag", "\"first\"");
        res.set_redirect(server.url("/second"), 301);
    });
    http.Get("/second", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("ETag", "\"second\"");
        res.set_header("X-Hop", "second");
        res.set_redirect("/final", 302);
    });
    http.Get("/final", [](const httplib::Request&, httplib::Response& res) { res.set_content("hello", "text/plain"); });
    http.Get("/empty404", [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
    http.Get("/body404", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_header("ETag", "\"gone\"");
        res.set_content("not here", "text/plain");
    });
    http.Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
            if (offset < 8) return sink.write("part ", 5);
            sink.done();
            return true;
        });
    });
    http.Get("/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop"); });
    http.Get("/to-ftp", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("ftp://127.0.0.1:" + std::to_string(server.port()) + "/file");
    });

    Download redirected(server.url("/first"));
    EXPECT_EQ(redirected.run(), "pfc");
    auto response = redirected.task->response();
    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(response.header("etag"), std::nullopt);  // no hop's tag leaks into the final response
    EXPECT_EQ(response.header("x-hop"), std::nullopt);
    EXPECT_EQ(response.header("CONTENT-type"), "text/plain");
    EXPECT_EQ(response.expectedContentLength, 5);
    EXPECT_EQ(redirected.recorder.snapshot()[1].content, "hello");

    Download empty(server.url("/empty404"));
    EXPECT_EQ(empty.run(), "fc");
    EXPECT_EQ(empty.task->response().statusCode, 404);
    EXPECT_FALSE(empty.recorder.error());

    Download withBody(server.url("/body404"));
    EXPECT_EQ(withBody.run(), "pfc");
    EXPECT_EQ(withBody.task->response().header("ETag"), "\"gone\"");
    EXPECT_EQ(withBody.recorder.snapshot()[0].bytes, 8);
    EXPECT_EQ(withBody.recorder.snapshot()[1].content, "");  // an error page is counted, never kept

    Download chunked(server.url("/chunked"));
    EXPECT_EQ(chunked.run().substr(chunked.recorder.kinds().size() - 2), "fc");
    EXPECT_EQ(chunked.recorder.snapshot()[0].expected, -1);
    EXPECT_EQ(chunked.task->response().expectedContentLength, -1);
    EXPECT_EQ(chunked.recorder.snapshot().end()[-2].content, "part part ");

    Download loop(server.url("/loop"));
    EXPECT_EQ(loop.run(), "c");
    EXPECT_EQ(loop.recorder.error()->kind, TransferErrorKind::TooManyRedirects);

    Download toFtp(server.url("/to-ftp"));
    EXPECT_EQ(toFtp.run(), "c");
    EXPECT_EQ(toFtp.recorder.error()->kind, TransferErrorKind::BadUrl);
    EXPECT_NE(toFtp.recorder.error()->reason.find("ftp"), std::string::npos) << toFtp.recorder.error()->reason;
    EXPECT_EQ(toFtp.recorder.error()->url, server.url("/to-ftp"));
    for (auto* dir : {&redirected.scratch, &empty.scratch, &loop.scratch, &toFtp.scratch}) {
        EXPECT_TRUE(testsupport::listDir(dir->path()).empty());
    }
}

TEST(UrlSession, CancelsAndFailuresEndWithoutAFinishedReportNorAFile) {
    Server server;
    server.drip("/slow", 1 << 20, 1024, 2s);
    server.drip("/stall", 1 << 20, 1024, 30s);
    server.drip("/drop", 1 << 20, 64 << 10, 1ms, 256 << 10);
    server.drip("/big", 4 << 20, 256 << 10, 0ms);

    // Cancelled from this thread while the worker waits for the next bytes.
    Download cancelled(server.url("/slow"));
    ASSERT_TRUE(cancelled.recorder.waitFor('p'));
    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    cancelled.task->cancel();
    ASSERT_TRUE(cancelled.recorder.waitFor('c'));
    EXPECT_LE(std::chrono::steady_clock::now() - start, kCancelBound);
    EXPECT_EQ(cancelled.run(), "pc");
    EXPECT_EQ(cancelled.recorder.error()->kind, TransferErrorKind::Cancelled);

    Download invalidated(server.url("/slow"));
    ASSERT_TRUE(invalidated.recorder.waitFor('p'));
    invalidated.session->invalidateAndCancel();
    EXPECT_EQ(invalidated.run(), "pc");
    EXPECT_EQ(invalidated.recorder.error()->kind, TransferErrorKind::Cancelled);
    invalidated.session->downloadTask(server.url("/slow")).resume();  // refused: cancelled at once
    ASSERT_TRUE(invalidated.recorder.waitFor('c', 2, 1s));
    EXPECT_EQ(invalidated.recorder.kinds(), "pcc");

    platform::SessionOptions quick;
    quick.idleTimeout = 1s;
    Download stalled(server.url("/stall"), quick);
    EXPECT_EQ(stalled.run(), "pc");
    EXPECT_EQ(stalled.recorder.error()->kind, TransferErrorKind::TimedOut);

    Download dropped(server.url("/drop"));
    EXPECT_EQ(dropped.run().back(), 'c');
    EXPECT_EQ(dropped.recorder.kinds().find('f'), std::string::npos);
    EXPECT_EQ(dropped.recorder.error()->kind, TransferErrorKind::ConnectionLost);

    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(probe);
    Download refused("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/");
    EXPECT_EQ(refused.run(), "c");
    EXPECT_EQ(refused.recorder.error()->kind, TransferErrorKind::Refused);

    // A label over 63 bytes: the resolver refuses it without sending a query.
    Download unknown("http://" + std::string(64, 'a') + ".invalid/");
    EXPECT_EQ(unknown.run(), "c");
    EXPECT_EQ(unknown.recorder.error()->kind, TransferErrorKind::UnknownHost);

    // A file size limit makes the write fail as a full disk would.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 1 << 20;
    ::setrlimit(RLIMIT_FSIZE, &small);
    Download full(server.url("/big"));
    full.run();
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(full.recorder.kinds().find('f'), std::string::npos);
    EXPECT_EQ(full.recorder.error()->kind, TransferErrorKind::DiskFull) << full.recorder.error()->reason;

    for (auto* d : {&cancelled, &invalidated, &stalled, &dropped, &full}) {
        EXPECT_TRUE(testsupport::listDir(d->scratch.path()).empty()) << d->task->url();
    }
}

TEST(UrlSession, DestroyingTheSessionCancelsAndSilencesIt) {
    Server server;
    server.drip("/slow", 1 << 20, 1024, 2s);
    Download d(server.url("/slow"));
    ASSERT_TRUE(d.recorder.waitFor('p'));
    const auto start = std::chrono::steady_clock::now();
    d.session.reset();
    EXPECT_LE(std::chrono::steady_clock::now() - start, kCancelBound);
    EXPECT_EQ(d.recorder.kinds(), "p");  // not even the cancelled task's completion
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(d.recorder.kinds(), "p");
    EXPECT_TRUE(testsupport::listDir(d.scratch.path()).empty());
}

}  // namespace
