#include "net/url_session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <thread>

#include "scripted_server.h"
#include "support.h"

namespace bi {

using namespace std::chrono_literals;
using net::TransferErrorKind;
using testsupport::ScratchDir;
using testsupport::reply;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr auto kCancelBound = 1000ms;  // sanitizers slow thread start-up and the allocator
#else
constexpr auto kCancelBound = 200ms;
#endif

std::string body(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
    return s;
}

// The loopback server: each path's answer, bodies that drip when paced.
class Server : public testsupport::ScriptedServer {
public:
    explicit Server(std::map<std::string, testsupport::ScriptedReply> routes)
        : ScriptedServer([this](const testsupport::ScriptedRequest& q, int) { return routes_.at(q.path); }),
          routes_(std::move(routes)) {}

private:
    std::map<std::string, testsupport::ScriptedReply> routes_;
};


struct Event {
    explicit Event(char k) : kind(k), thread(std::this_thread::get_id()) {}
    char kind;  // 'p'rogress, 'f'inished, 'c'omplete
    std::thread::id thread;
    int64_t bytes = 0, total = 0, expected = 0;
    std::string content;
    mode_t mode = 0;
    std::optional<net::TransferError> error;
};

class Recorder : public net::DownloadDelegate {
public:
    void onProgress(net::DownloadTask&, int64_t bytes, int64_t total, int64_t expected) override {
        Event e('p');
        e.bytes = bytes;
        e.total = total;
        e.expected = expected;
        add(e);
    }
    void onArrived(net::DownloadTask&, const std::string& location) override {
        struct stat st{};
        ::stat(location.c_str(), &st);
        Event e('f');
        finished = location;
        e.content = testsupport::readFile(location);
        e.mode = st.st_mode & 0777;
        add(e);
    }
    void onEnded(net::DownloadTask&, const std::optional<net::TransferError>& error) override {
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
    std::optional<net::TransferError> error() { return snapshot().back().error; }

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
    explicit Download(const std::string& url, net::SessionOptions options = {}) {
        options.temporaryDirectory = scratch.path();
        session = net::makeUrlSession(recorder, options);
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
    std::unique_ptr<net::UrlSession> session;
    net::DownloadTask* task = nullptr;
};

TEST(UrlSession, ReportsInOrderOnOneWorkerThreadMergedAndRemovesTheFile) {
    const size_t size = 4 << 20;
    Server server({{"/file", reply(200, {}, body(size), 15ms, 256 << 10)}, {"/fast", reply(200, {}, body(32 << 20))}});
    // Hundreds of writes as fast as loopback goes: merged into a few reports, not one each.
    Download fast(server.url("/fast"));
    EXPECT_LT(fast.run().size(), 100u);
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
    Server server({
        {"/first", reply(301, {{"ETag", "\"first\""}, {"Location", "/second"}}, "")},
        {"/second", reply(302, {{"ETag", "\"second\""}, {"X-Hop", "second"}, {"Location", "/final"}}, "")},
        {"/final", reply(200, {{"Content-Type", "text/plain"}}, "hello")},
        {"/empty404", reply(404, {}, "")},
        {"/body404", reply(404, {{"ETag", "\"gone\""}}, "not here")},
        {"/chunked", reply(200, {{"Transfer-Encoding", "chunked"}}, "5\r\npart \r\n5\r\npart \r\n0\r\n\r\n")},
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

    for (auto* dir : {&redirected.scratch, &empty.scratch, &withBody.scratch}) {
        EXPECT_TRUE(testsupport::listDir(dir->path()).empty());
    }
}

TEST(UrlSession, CancelsFailuresAndTheSessionsEndLeaveNoFinishedReportNorAFile) {
    Server server({{"/slow", reply(200, {}, body(1 << 20), 300ms, 1024)}});

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
    invalidated.session->cancelAll();
    EXPECT_EQ(invalidated.run(), "pc");
    EXPECT_EQ(invalidated.recorder.error()->kind, TransferErrorKind::Cancelled);
    invalidated.session->downloadTask(server.url("/slow")).resume();  // refused: cancelled at once
    ASSERT_TRUE(invalidated.recorder.waitFor('c', 2, 1s));
    EXPECT_EQ(invalidated.recorder.kinds(), "pcc");

    // A label over 63 bytes: the resolver refuses it without sending a query.
    Download unknown("http://" + std::string(64, 'a') + ".invalid/");
    EXPECT_EQ(unknown.run(), "c");
    EXPECT_EQ(unknown.recorder.error()->kind, TransferErrorKind::UnknownHost);

    // Destroyed: cancelled, and silent, not even the cancelled task's completion comes.
    Download destroyed(server.url("/slow"));
    ASSERT_TRUE(destroyed.recorder.waitFor('p'));
    const auto before = std::chrono::steady_clock::now();
    destroyed.session.reset();
    EXPECT_LE(std::chrono::steady_clock::now() - before, kCancelBound);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(destroyed.recorder.kinds(), "p");

    for (auto* d : {&cancelled, &invalidated, &unknown, &destroyed}) {
        EXPECT_TRUE(testsupport::listDir(d->scratch.path()).empty()) << d->task->url();
    }
}

}  // namespace

}  // namespace bi
