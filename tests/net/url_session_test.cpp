// The URL session's reports, which the download controller builds on, from a loopback server.
#include "net/url_session.h"

#include "net/curl_library.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <regex>
#include <thread>

#include "net/http_response.h"
#include "nginx.h"
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
    explicit Download(net::TransferRequest request)
        : keeps(!request.file.empty() || !request.rangeFile.empty()),
          session(net::makeUrlSession(*this, {.temporaryDirectory = scratch.path()})) {
        (task = &session->downloadTask(std::move(request)))->resume();
    }
    explicit Download(const std::string& url) : Download(net::TransferRequest{.url = url}) {}
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
        add(keeps || !testsupport::exists(arrivedAt) ? 'e' : '!');
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
    const bool keeps;  // a named file stays
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

// Each part as nginx writes it, the boundary "B".
static std::string parts(const std::vector<std::pair<std::string, std::string>>& ranges) {
    std::string out;
    for (const auto& [range, bytes] : ranges) out += "\r\n--B\r\nContent-Range: bytes " + range + "\r\n\r\n" + bytes;
    return out + "\r\n--B--\r\n";
}

// Ranges land in their file where they belong, from nginx's real Range, If-Range and
// multipart answers and from servers that answer otherwise; a 200 is the whole file, in its
// own file. A transfer cut short keeps the parts that came.
TEST(UrlSession, RangesArePlacedWhereTheyBelongAndAWholeAnswerIsTheWholeFile) {
    const std::string file = body(300000), n = std::to_string(file.size());
    testsupport::ScratchDir www;
    testsupport::writeFile(www / "a.zip", file);
    struct stat st {};
    ::stat((www / "a.zip").c_str(), &st);
    char tag[64];
    std::snprintf(tag, sizeof tag, "\"%lx-%lx\"", static_cast<long>(st.st_mtime), static_cast<long>(st.st_size));
    testsupport::Nginx nginx(www.path());
    using Spans = std::vector<std::pair<int64_t, int64_t>>;
    const auto mp = [](std::string b) {
        return reply(206, {{"Content-Type", "multipart/byteranges; boundary=\"B\""}}, std::move(b));
    };
    const auto one = [&](const std::string& r, const std::string& b) {
        return reply(206, {{"Content-Range", "bytes " + r}}, b);
    };
    // clang-format off
    const struct { std::string path; std::vector<net::ByteRange> ranges; long status; Spans placed; int64_t length = -1; bool whole = false;
                   std::optional<K> error = {}; testsupport::ScriptedReply reply = {}; std::string ifRange = ""; } rows[] = {
        {"nginx", {{0, 99}, {1000, 1999}, {-500}}, 206, {{0, 100}, {1000, 1000}, {299500, 500}}, 300000},  // multipart
        {"nginx", {{299000, -1}}, 206, {{299000, 1000}}, 300000, false, {}, {}, tag}, {"nginx", {{-400000}}, 206, {{0, 300000}}, 300000},
        {"nginx", {{5, 9}, {20, 29}}, 200, {}, -1, true, {}, {}, "\"other\""}, {"nginx", {{400000, 400010}}, 416, {}},
        {"/first-only", {{0, 9}, {50, 59}}, 206, {{0, 10}}, 300000, false, {}, one("0-9/" + n, file.substr(0, 10))},
        {"/ignores", {{0, 9}}, 200, {}, -1, true, {}, reply(200, {}, file)},
        {"/cut", {{0, 9}, {50, 59}}, 206, {{0, 10}, {50, 5}}, 300000, false, K::ConnectionLost,
         [&] { auto r = mp(parts({{"0-9/" + n, file.substr(0, 10)}, {"50-59/" + n, file.substr(50, 10)}})); r.dropAfter = r.body.rfind("\r\n\r\n") + 9; return r; }()},
        {"/disagree", {{0, 9}, {50, 59}}, 206, {{0, 10}}, 300000, false, K::BadRange, mp(parts({{"0-9/" + n, file.substr(0, 10)}, {"50-59/999", file.substr(50, 10)}}))},
        {"/overlong", {{0, 9}}, 206, {{0, 10}}, 300000, false, K::BadRange, mp(parts({{"0-9/" + n, file.substr(0, 12)}}))},
        {"/long-one", {{0, 9}}, 206, {}, 300000, false, K::BadRange, one("0-9/" + n, file.substr(0, 12))},
        {"/past-end", {{0, 9}}, 206, {}, -1, false, K::BadRange, one("299995-300004/" + n, std::string(10, 'x'))},
        {"/no-range", {{0, 9}}, 206, {}, -1, false, K::BadRange, reply(206, {}, file.substr(0, 10))},
        {"/unfinished", {{0, 9}}, 206, {{0, 10}}, 300000, false, K::BadRange, mp("\r\n--B\r\nContent-Range: bytes 0-9/" + n + "\r\n\r\n" + file.substr(0, 10))},
    };
    // clang-format on
    testsupport::ScriptedServer server([&](const testsupport::ScriptedRequest& q, int) {
        const auto row = std::find_if(std::begin(rows), std::end(rows), [&](auto& r) { return r.path == q.path; });
        return row == std::end(rows) ? reply(404) : row->reply;
    });
    for (const auto& r : rows) {
        const std::string what = r.path + " " + net::rangeList(r.ranges);
        testsupport::ScratchDir out;
        net::TransferRequest request{.url = r.path == "nginx" ? nginx.url("a.zip") : server.url(r.path),
                                     .file = out / "whole"};
        request.ranges = r.ranges;
        request.rangeFile = out / "placed";
        if (!r.ifRange.empty()) request.ifRange = r.ifRange;
        Download d(request);
        const std::string kinds = d.wait();
        EXPECT_TRUE(kinds.ends_with("e") && (kinds.find_first_of("a!") == std::string::npos) == r.error.has_value())
            << what << ": " << kinds;
        const net::PlacedBytes placed = d.task->placed();
        EXPECT_EQ(std::make_tuple(d.task->response().statusCode, d.error, placed.spans, placed.fileLength),
                  std::tie(r.status, r.error, r.placed, r.length))
            << what;
        const std::string got = testsupport::readFile(out / "placed");
        for (const auto& [at, size] : placed.spans) EXPECT_EQ(got.substr(at, size), file.substr(at, size)) << what;
        EXPECT_EQ(testsupport::readFile(out / "whole"), r.whole ? file : "") << what;
        EXPECT_TRUE(r.error || r.status != 206 || d.task->response().firstByteSeconds >= 0) << what;
    }
    // If-Range's tag, and every range, reach the server as asked.
    EXPECT_NE(nginx.accessLog().find("206"), std::string::npos);
    EXPECT_EQ(server.requests().at(0).header("range"), "bytes=0-9,50-59");
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
