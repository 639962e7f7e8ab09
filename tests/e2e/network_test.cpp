// The download road on the networks people have: lost connections, resumed archives, a
// server that cannot be reached, installers that start together, and a proxy that the
// environment names.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <future>
#include <regex>

#include "fixture.h"
#include "nginx.h"

namespace bi {

using namespace std::chrono_literals;
using testsupport::ScriptedReply;
using testsupport::ScriptedRequest;
using testsupport::serveArchive;

struct TransientRow {
    std::string name;
    std::function<ScriptedReply(const ScriptedRequest&, int)> answer;
    int exit, requests;
    std::string version, said;
    InstallerTest::Env env = {};
    std::string range = "-";  // what the second request asks for: "-" unchecked, "" nothing, "half" from half way
    int left = -1;  // an earlier run left the archive and this many bytes more as the partial archive, tagged "v1"
};

namespace {

class Network : public InstallerTest {
protected:
    // Its size from stat: reading it whole at every poll takes longer than the download under ASan.
    int64_t partialSize() const {
        struct stat st {};
        return ::stat((cacheDir() + "/.download").c_str(), &st) == 0 ? st.st_size : 0;
    }
};

// Two versions of a heavy agent archive, made once.
const std::string& archive(int version) {
    static const std::string v[] = {InstallerTest::heavyArchive("1", 1 << 20),
                                    InstallerTest::heavyArchive("2", 1 << 20)};
    return v[version - 1];
}
size_t half() { return archive(1).size() / 2; }
ScriptedReply v1(const ScriptedRequest& q) { return serveArchive(q, archive(1), "\"v1\""); }
ScriptedReply v1DroppedHalfWay(const ScriptedRequest& q) {
    auto reply = v1(q);
    reply.dropAfter = half();
    return reply;
}

class Transient : public Network, public ::testing::WithParamInterface<TransientRow> {};

}  // namespace

TEST_P(Transient, IsRetriedResumedAndEndsWithTheServersCurrentArchive) {
    const auto& row = GetParam();
    archive(1);  // made before the server answers, so that no answer waits for zip
    testsupport::ScriptedServer server(row.answer);
    if (row.left >= 0) {
        testsupport::writeFile(cacheDir() + "/.download", archive(1) + std::string(row.left, 'x'));
        testsupport::writeFile(cacheDir() + "/.download.record", "bootstrap-installer cache record 1\nurl " +
                                                                     server.url("/agent.zip") + "\ntag \"v1\"\n");
    }
    const auto r = run(downloadBundle(server.url("/agent.zip")), {}, row.env);
    EXPECT_EQ(r.exitStatus, row.exit) << r.err;
    EXPECT_NE(r.err.find(row.said), std::string::npos) << r.err;
    const auto requests = server.requests();
    ASSERT_EQ(static_cast<int>(requests.size()), row.requests);
    if (row.exit == 0) {
        EXPECT_EQ(version(), row.version);
        EXPECT_EQ(cacheLeftovers(), std::vector<std::string>{});
    } else {
        EXPECT_FALSE(cachedAgent());
    }
    if (row.range != "-") {
        EXPECT_EQ(requests[1].header("range"), row.range.empty() ? "" : "bytes=" + std::to_string(half()) + "-");
        EXPECT_EQ(requests[1].header("if-range"), row.range.empty() ? "" : "\"v1\"");
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, Transient, ::testing::Values(
    TransientRow{"resumed where it broke", [](const ScriptedRequest& q, int n) { return n == 1 ? v1DroppedHalfWay(q) : v1(q); },
                 0, 2, "1", "retrying in", {}, "half"},
    TransientRow{"a 206 of another archive is not appended", [](const ScriptedRequest& q, int n) {
                     if (n == 1) return v1DroppedHalfWay(q);
                     if (n > 2) return serveArchive(q, archive(2), "\"v2\"");
                     const std::string& v2 = archive(2);
                     return ScriptedReply{206, {{"ETag", "\"v2\""}, {"Content-Range", "bytes " + std::to_string(half()) + "-" +
                                          std::to_string(v2.size() - 1) + "/" + std::to_string(v2.size())}}, v2.substr(half())};
                 }, 0, 3, "2", ""},
    TransientRow{"Retry-After beyond the cap waits the cap", [](const ScriptedRequest& q, int n) {
                     return n == 1 ? ScriptedReply{429, {{"Retry-After", "86400"}}} : v1(q);
                 }, 0, 2, "1", "(HTTP 429); retrying in 300 ms"},
    TransientRow{"a 206 from the wrong byte", [](const ScriptedRequest& q, int n) {
                     if (n == 1) return v1DroppedHalfWay(q);
                     return ScriptedReply{206, {{"ETag", "\"v1\""}, {"Content-Range", "bytes 0-99/" + std::to_string(archive(1).size())}},
                                          archive(1).substr(0, 100)};
                 }, 255, 2, "", "Download failed! Error - the server sent the archive from byte 0 instead of byte"},
    TransientRow{"an idle time-out, then resumed", [](const ScriptedRequest& q, int n) {
                     auto r = v1(q);
                     if (n == 1) r.pace = 800ms;
                     return r;
                 }, 0, 2, "1", "less than 1 KiB received in 300 ms", {{"BI_IDLE_TIMEOUT", "0.3"}}},
    TransientRow{"a 200 to a Range cuts the file to its body", [](const ScriptedRequest&, int) {
                     return ScriptedReply{200, {{"ETag", "\"v1\""}}, archive(1)};
                 }, 0, 1, "1", "", {}, "-", 100000},
    // A partial archive longer than the archive is now: 416, then the whole archive, once.
    TransientRow{"a 416 starts over", [](const ScriptedRequest& q, int) { return v1(q); }, 0, 2, "1", "", {}, "",
                 4},
    TransientRow{"a second 416 ends the run", [](const ScriptedRequest&, int) { return ScriptedReply{416}; }, 255, 2, "",
                 "Download failed with error code 416", {}, "", 0},
    TransientRow{"a self-extracting archive is a zip", [](const ScriptedRequest& q, int) {
                     static const std::string sfx = InstallerTest::selfExtracting(archive(1));
                     return serveArchive(q, sfx, "\"v1\"");
                 }, 0, 1, "1", ""},
    TransientRow{"a 416 without a partial archive is no reason to ask again",
                 [](const ScriptedRequest&, int) { return ScriptedReply{416}; }, 255, 1, "", "error code 416"}), RowName());
// clang-format on

// Ctrl-C while downloading ends the run before the archive is whole and leaves the partial
// archive, private to the user, which the next run continues, as the first one says.
TEST_F(Network, AnInterruptedDownloadResumesInTheNextRun) {
    testsupport::ScratchDir www;
    const std::string archive = heavyArchive("1", 4 << 20);
    testsupport::writeFile(www / "agent.zip", archive);
    testsupport::Nginx nginx(www.path(), "limit_rate 1m;");  // four seconds for the archive
    const auto b = downloadBundle(nginx.url("agent.zip"));
    const auto r = run(b, {}, {}, 20s, [&](pid_t pid) {
        waitUntil([&] { return partialSize() > static_cast<int64_t>(archive.size() / 3); });
        for (const char* name : {"/.download", "/.download.record"}) {
            struct stat st {};
            EXPECT_EQ(::stat((cacheDir() + name).c_str(), &st), 0) << name;
            EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
        }
        ::kill(pid, SIGINT);
    });
    EXPECT_LT(partialSize(), static_cast<int64_t>(archive.size()));
    expectFailed(r,
                 {"The installation was cancelled.\nThe next run of the installer continues where this one stopped.\n"
                  "Installation failed.\n"},
                 partialArchive());
    const auto first = nginx.sent("GET /agent.zip");
    ASSERT_EQ(run(b).exitStatus, 0);
    const auto all = nginx.sent("GET /agent.zip");
    EXPECT_EQ(all.second, first.second + 1);
    EXPECT_LT(all.first - first.first, static_cast<long long>(archive.size()) * 7 / 10);  // the rest, not the whole
    EXPECT_EQ(version(), "1");
}

// An agent removed between the question and the 304 is asked for again, without conditions.
// Once the port refuses connections, the agent cached from the same URL starts, and only it.
TEST_F(Network, WithoutTheServerTheAgentCachedFromTheSameUrlStarts) {
    const std::string archive = zipBytes(agentFiles("1"));
    bool removeAgent = false;
    auto server = std::make_unique<testsupport::ScriptedServer>([&](const ScriptedRequest& q, int) {
        if (removeAgent) testsupport::removeTree(cacheDir() + "/installagent");
        return serveArchive(q, archive, "\"v1\"");
    });
    const std::string url = server->url("/agent.zip");
    const auto b = downloadBundle(url);
    ASSERT_EQ(run(b).exitStatus, 0);
    removeAgent = true;
    auto r = run(b);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    ASSERT_EQ(server->requests().size(), 3u);
    EXPECT_EQ(server->requests()[2].header("if-none-match"), "");

    server.reset();
    r = run(b, {"x"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.err.find("Could not reach the server; starting the installer downloaded on 20"), std::string::npos)
        << r.err;
    EXPECT_EQ(run(downloadBundle(url + "?other", "other")).exitStatus, 255);
    EXPECT_EQ(agentRuns(), 3);
}

TEST_F(Network, InstallersStartedTogetherDownloadOnceEvenWhenTheDownloaderIsKilled) {
    testsupport::ScratchDir www;
    const std::string archive = heavyArchive("1", 8 << 20);
    testsupport::writeFile(www / "agent.zip", archive);
    // Slow enough that the downloader, under sanitizers on a busy machine, is killed before it ends.
    testsupport::Nginx nginx(www.path(), "limit_rate 3m;");
    const auto b = downloadBundle(nginx.url("agent.zip"));
    std::vector<std::future<testsupport::ProcessResult>> others;
    const auto first = run(b, {}, {}, 30s, [&](pid_t pid) {
        waitUntil([&] { return partialSize() > 0; });
        for (int i = 0; i < 7; ++i)
            others.push_back(std::async(std::launch::async, [&] { return run(b, {}, {}, 60s); }));
        // Killed past half way: what it received but had not yet written (socket buffers, the
        // write batch) is sent again, but never the whole archive.
        waitUntil([&] { return partialSize() > static_cast<int64_t>(archive.size() / 2); });
        ::kill(pid, SIGKILL);
    });
    EXPECT_EQ(first.exitStatus, 128 + SIGKILL);
    // While they wait, they show how the other's partial archive grows.
    const std::regex waited("Waiting for another installer to finish\n( *\\d+%  [\\d.]+ [KM]iB of 8.0 MiB.*\n)+");
    for (auto& other : others) {
        const auto r = other.get();
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_TRUE(std::regex_search(r.err, waited)) << r.err;
    }
    EXPECT_EQ(agentRuns(), 7);
    EXPECT_LE(nginx.sent("GET /agent.zip").first, static_cast<long long>(archive.size()) * 13 / 10)
        << nginx.accessLog();
}

// The proxy the environment names carries the request: here a server that answers a proxy's
// requests (for a whole URL) itself.
TEST_F(Network, DownloadsGoThroughTheProxyThatTheEnvironmentNames) {
    testsupport::ScriptedServer proxy([](const ScriptedRequest& q, int) {
        return q.path == "http://127.0.0.1:9/agent.zip" ? v1(q) : ScriptedReply{404};
    });
    const auto r = run(downloadBundle("http://127.0.0.1:9/agent.zip"), {}, {{"http_proxy", proxy.url("")}});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(version(), "1");
}

}  // namespace bi
