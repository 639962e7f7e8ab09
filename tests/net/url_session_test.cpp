// The URL session's reports, which the download controller builds on, from a loopback server.
#include "net/url_session.h"

#include "net/curl_library.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <regex>
#include <thread>

#include "scripted_server.h"
#include "support.h"

namespace bi {

using namespace std::chrono_literals;
using K = net::TransferErrorKind;
using testsupport::reply;

// Bytes that tell where they belong.
static std::string body(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 + i / 7);
    return s;
}

// One download by a session of its own, with its files in a scratch directory, and the kinds
// of its reports: 'p'rogress that adds up to the response's length, 'a'rrived in a private
// file, 'e'nded with that file gone; '!' for any other, '?' for one off the session's one worker.
struct Download : net::DownloadDelegate {
    explicit Download(const std::string& url)
        : session(net::makeUrlSession(*this, {.temporaryDirectory = scratch.path()})) {
        (task = &session->downloadTask(url))->resume();
    }
    void onProgress(net::DownloadTask& t, int64_t bytes, int64_t total, int64_t expected) override {
        add(bytes > 0 && total == (sum += bytes) && expected == t.response().expectedContentLength ? 'p' : '!');
    }
    void onArrived(net::DownloadTask&, const std::string& at) override {
        struct stat st {};
        content = testsupport::readFile(arrivedAt = at);
        add(::stat(at.c_str(), &st) == 0 && (content.empty() || (st.st_mode & 0777) == 0600) ? 'a' : '!');
    }
    void onEnded(net::DownloadTask&, const std::optional<net::TransferError>& e) override {
        error = e ? std::optional(e->kind) : std::nullopt;
        add(testsupport::exists(arrivedAt) ? '!' : 'e');
    }
    void add(char kind) {
        std::lock_guard lock(mutex);
        if (worker == std::thread::id()) worker = std::this_thread::get_id();
        kinds += worker == std::this_thread::get_id() && worker != main ? kind : '?';
        changed.notify_all();
    }
    // The kinds so far, once they hold `until` or by the time-out.
    std::string wait(const std::string& until = "e", std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, timeout, [&] { return kinds.find(until) != std::string::npos; });
        return kinds;
    }
    testsupport::ScratchDir scratch;
    std::mutex mutex;
    std::condition_variable changed;
    std::string kinds, content, arrivedAt = "/nonexistent";
    std::optional<K> error;
    int64_t sum = 0;
    std::thread::id main = std::this_thread::get_id(), worker;
    std::unique_ptr<net::UrlSession> session;  // the first to go, with its worker
    net::DownloadTask* task = nullptr;
};

// A row's path is its route on the server, unless it is a URL of its own. A cancelled session
// ends what it runs at once and refuses more, as when the window closes.
TEST(UrlSession, ReportsComeInOrderFromOneWorkerAndOnlyASuccessfulBodyArrivesInAPrivateFileGoneAtTheEnd) {
    // clang-format off
    const struct { std::string path; testsupport::ScriptedReply reply; const char* kinds; long status; int64_t length; std::string content;
                   const char* etag = nullptr; std::optional<K> error = {}; bool cancel = false; } rows[] = {
        {"/paced", reply(200, {}, body(4 << 20), 15ms, 256 << 10), "p{4,}ae", 200, 4 << 20, body(4 << 20)},
        {"/fast", reply(200, {}, body(32 << 20)), "p{1,99}ae", 200, 32 << 20, body(32 << 20)},  // hundreds of writes, a few reports
        {"/first", reply(301, {{"ETag", "\"first\""}, {"Location", "/second"}}), "pae", 200, 5, "hello"},  // no hop's tag leaks through
        {"/second", reply(302, {{"ETag", "\"second\""}, {"Location", "/final"}}), "pae", 200, 5, "hello"},
        {"/final", reply(200, {{"Content-Type", "text/plain"}}, "hello"), "pae", 200, 5, "hello"},
        {"/empty404", reply(404), "ae", 404, 0, ""}, {"/body404", reply(404, {{"ETag", "\"gone\""}}, "not here"), "pae", 404, 8, "", "\"gone\""},
        {"/chunked", reply(200, {{"Transfer-Encoding", "chunked"}}, "5\r\npart \r\n5\r\npart \r\n0\r\n\r\n"), "p+ae", 200, -1, "part part "},
        {"/slow", reply(200, {}, body(1 << 20), 300ms, 1024), "p+ee", 200, 1 << 20, "", nullptr, K::Cancelled, true},  // and refuses more
        {"http://" + std::string(64, 'a') + ".invalid/", {}, "e", 0, -1, "", nullptr, K::UnknownHost},  // a label over 63 bytes: refused unsent
    };
    // clang-format on
    testsupport::ScriptedServer server([&](const testsupport::ScriptedRequest& q, int) {
        const auto row = std::find_if(std::begin(rows), std::end(rows), [&](auto& r) { return r.path == q.path; });
        return row == std::end(rows) ? reply(404) : row->reply;
    });
    for (const auto& r : rows) {
        Download d(r.path.starts_with("/") ? server.url(r.path) : r.path);
        if (r.cancel) d.wait("p"), d.session->cancelAll(), d.session->downloadTask(server.url("/final")).resume();
        const std::string kinds = d.wait(r.cancel ? "ee" : "e", r.cancel ? 1s : 10s);  // a cancel ends at once
        std::this_thread::sleep_for(20ms);
        EXPECT_TRUE(std::regex_match(kinds, std::regex(r.kinds)) && d.wait() == kinds)
            << r.path << ": " << d.wait();  // nothing after the end
        const auto response = d.task->response();
        EXPECT_EQ(std::tie(response.statusCode, response.expectedContentLength), std::tie(r.status, r.length))
            << r.path;
        EXPECT_EQ(response.header("etag"), r.etag ? std::optional<std::string>(r.etag) : std::nullopt) << r.path;
        EXPECT_TRUE(d.content == r.content && d.error == r.error) << r.path << ": " << d.content.substr(0, 20);
        EXPECT_EQ(testsupport::listDir(d.scratch.path()), std::vector<std::string>{}) << r.path;
    }
}

// The worker's wait, with curl_multi_poll and with the pipe that stands in for it before 7.68:
// a wake-up from another thread ends it long before its time, and so does one that came
// before it; once taken, the next wait runs its time.
TEST(MultiHandle, AWakeUpEndsTheWaitWithPollAndWithThePipe) {
    for (const bool withPoll : {true, false}) {
        net::MultiHandle multi(withPoll);
        ASSERT_NE(multi.get(), nullptr);
        const auto start = std::chrono::steady_clock::now();
        std::thread other([&] { multi.wake(); });
        multi.wait(20'000);
        other.join();
        multi.wake();
        multi.wait(20'000);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << withPoll;
        const auto quiet = std::chrono::steady_clock::now();
        multi.wait(200);
        EXPECT_GE(std::chrono::steady_clock::now() - quiet, 200ms) << withPoll;
    }
}

}  // namespace bi
