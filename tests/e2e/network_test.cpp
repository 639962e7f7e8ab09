// The download road on the networks people have: revalidation without a body, one cache for
// many products, lost connections, resumed archives, a server that cannot be reached,
// installers that start together, and proxies.
#include <gtest/gtest.h>
#include <signal.h>
#include <utime.h>

#include <future>

#include "fixture.h"
#include "nginx.h"
#include "scripted_server.h"

using namespace std::chrono_literals;
using testsupport::ScriptedReply;
using testsupport::ScriptedRequest;

namespace {

class Network : public InstallerTest {
protected:
    std::string version() const { return testsupport::readFile(cacheDir() + "/installagent/lib/version.txt"); }
    int64_t partialSize() const {
        return static_cast<int64_t>(testsupport::readFile(cacheDir() + "/.download").size());
    }
    // An archive with enough weight that a connection can be lost in its middle.
    static std::string heavyArchive(const std::string& version, size_t blob = 1 << 20) {
        auto files = agentFiles(version);
        files["lib/blob.bin"] = randomBytes(blob);
        return zipBytes(files);
    }
};

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    for (auto waited = 0ms; waited < limit; waited += 10ms) {
        if (done()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

}  // namespace

TEST_F(Network, RevalidationCostsNoBodyAndProductsThatShareATagNeverShareAnAgent) {
    testsupport::ScratchDir www;
    for (const std::string product : {"a", "b"}) {
        testsupport::makeZip(www / (product + ".zip"), agentFiles(product));
        struct utimbuf same{1700000000, 1700000000};  // nginx's tag is the time and the size
        ::utime((www / (product + ".zip")).c_str(), &same);
    }
    testsupport::Nginx nginx(www.path());
    const auto a = downloadBundle(nginx.url("a.zip"), "a"), b = downloadBundle(nginx.url("b.zip"), "b");
    const std::vector<std::pair<const testsupport::Bundle*, std::string>> runs = {
        {&a, "200"}, {&a, "304 0 "}, {&b, "200"}, {&a, "200"}};
    for (const auto& [bundle, answer] : runs) {
        const auto r = run(*bundle);
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(version(), bundle == &a ? "a" : "b");
        const std::string log = nginx.accessLog();
        EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1, answer.size()), answer) << log;
    }
    EXPECT_EQ(agentRuns(), 4);
}

TEST_F(Network, TransientFailuresAreRetriedResumedAndEndWithTheServersCurrentArchive) {
    const std::string v1 = heavyArchive("1"), v2 = heavyArchive("2");
    const size_t half = v1.size() / 2;
    const auto dropHalf = [&](const ScriptedRequest& q) {
        auto reply = testsupport::serveArchive(q, v1, "\"v1\"");
        reply.dropAfter = half;
        return reply;
    };
    struct Row {
        std::string name;
        std::function<ScriptedReply(const ScriptedRequest&, int)> answer;
        int exit, requests;
        std::string version, said;
        std::map<std::string, std::optional<std::string>> env = {};
    };
    const std::vector<Row> rows = {
        {"resumed where it broke",
         [&](const ScriptedRequest& q, int n) { return n == 1 ? dropHalf(q) : testsupport::serveArchive(q, v1, "\"v1\""); },
         0, 2, "1", "retrying in"},
        {"a server that ignores Range",
         [&](const ScriptedRequest& q, int n) { return n == 1 ? dropHalf(q) : testsupport::serveArchive({}, v1, "\"v1\""); },
         0, 2, "1", ""},
        {"changed between attempts",
         [&](const ScriptedRequest& q, int n) { return n == 1 ? dropHalf(q) : testsupport::serveArchive(q, v2, "\"v2\""); },
         0, 2, "2", ""},
        {"a 206 from the wrong byte",
         [&](const ScriptedRequest& q, int n) {
             if (n == 1) return dropHalf(q);
             ScriptedReply r{206, {{"ETag", "\"v1\""}, {"Content-Range", "bytes 0-99/" + std::to_string(v1.size())}}};
             r.body = v1.substr(0, 100);
             return r;
         },
         255, 2, "", "Error during the download process. the server sent the archive from byte 0 instead of byte"},
        {"503 and Retry-After, then the archive",
         [&](const ScriptedRequest& q, int n) {
             return n == 1 ? ScriptedReply{503, {{"Retry-After", "3"}}} : testsupport::serveArchive(q, v1, "\"v1\"");
         },
         0, 2, "1", "(HTTP 503); retrying in 30 ms"},
        {"503 every time", [](const ScriptedRequest&, int) { return ScriptedReply{503}; }, 255, 4, "",
         "Connection lost. Retrying in 1 s (attempt 4 of 4)"},
        {"404 at once", [](const ScriptedRequest&, int) { return ScriptedReply{404}; }, 255, 1, "",
         "Download failed with error code 404"},
        {"an idle time-out, then resumed",
         [&](const ScriptedRequest& q, int n) {
             auto r = testsupport::serveArchive(q, v1, "\"v1\"");
             if (n == 1) r.pace = 1500ms;
             return r;
         },
         0, 2, "1", "no data received for 500 ms", {{"BI_IDLE_TIMEOUT", "0.5"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::ScriptedServer server(row.answer);
        const auto r = run(downloadBundle(server.url("/agent.zip")), {}, row.env);
        EXPECT_EQ(r.exitStatus, row.exit) << r.err;
        EXPECT_NE(r.err.find(row.said), std::string::npos) << r.err;
        const auto requests = server.requests();
        EXPECT_EQ(static_cast<int>(requests.size()), row.requests);
        if (row.exit == 0) {
            EXPECT_EQ(version(), row.version);
            EXPECT_EQ(cacheLeftovers(), std::vector<std::string>{});
        } else {
            EXPECT_FALSE(cachedAgent());
        }
        if (row.name == "resumed where it broke") {
            EXPECT_EQ(requests[1].header("range"), "bytes=" + std::to_string(half) + "-");
            EXPECT_EQ(requests[1].header("if-range"), "\"v1\"");
        }
        testsupport::removeTree(dir_ / "apps");
        testsupport::removeTree(home_ + "/.tolvar");
    }
}

TEST_F(Network, AnInterruptedDownloadResumesInTheNextRunAndAWholeOneIsUsed) {
    testsupport::ScratchDir www;
    const std::string archive = heavyArchive("1", 4 << 20);
    testsupport::writeFile(www / "agent.zip", archive);
    testsupport::Nginx nginx(www.path(), "limit_rate 4m;");
    const auto b = downloadBundle(nginx.url("agent.zip"));
    auto r = run(b, {}, {}, 20s, [&](pid_t pid) {
        waitUntil([&] { return partialSize() > static_cast<int64_t>(archive.size() / 3); });
        ::kill(pid, SIGINT);
    });
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_NE(r.err.find("The installation was cancelled."), std::string::npos) << r.err;
    EXPECT_EQ(cacheLeftovers(), (std::vector<std::string>{".download", ".download.record"}));
    EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
    r = run(b);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const auto [bytes, requests] = nginx.sent("GET /agent.zip");
    EXPECT_EQ(requests, 2);
    EXPECT_LT(bytes, static_cast<long long>(archive.size()) * 11 / 10);  // nothing fetched twice
    EXPECT_EQ(version(), "1");

    // A whole archive left by a run stopped before it was used is only revalidated.
    testsupport::removeTree(cacheDir() + "/installagent");
    testsupport::writeFile(cacheDir() + "/.download", archive);
    testsupport::writeFile(cacheDir() + "/.download.record",
                           testsupport::readFile(cacheDir() + "/.agentrecord") + "length " + std::to_string(archive.size()) + "\n");
    r = run(b);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(nginx.accessLog().ends_with("304 0 \"GET /agent.zip HTTP/1.1\"\n")) << nginx.accessLog();
    EXPECT_EQ(agentRuns(), 2);
}

TEST_F(Network, WithoutTheServerTheAgentCachedFromTheSameUrlStarts) {
    const std::string archive = zipBytes(agentFiles("1"));
    auto server = std::make_unique<testsupport::ScriptedServer>(
        [&](const ScriptedRequest& q, int) { return testsupport::serveArchive(q, archive, "\"v1\""); });
    const std::string url = server->url("/agent.zip");
    const auto b = downloadBundle(url);
    ASSERT_EQ(run(b).exitStatus, 0);
    server.reset();  // the port refuses connections now

    auto r = run(b, {"x"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.err.find("Could not reach the server; starting the installer downloaded on 20"), std::string::npos) << r.err;
    EXPECT_EQ(agentRuns(), 2);

    // Another URL has no agent of its own to fall back on; an answer that is an error is one.
    testsupport::ScriptedServer missing([](const ScriptedRequest&, int) { return ScriptedReply{404}; });
    for (const std::string& other : {url + "?other", missing.url("/agent.zip")}) {
        SCOPED_TRACE(other);
        r = run(downloadBundle(other, "other"));
        EXPECT_EQ(r.exitStatus, 255) << r.err;
        EXPECT_EQ(r.err.find("Could not reach the server"), std::string::npos) << r.err;
        testsupport::removeTree(dir_ / "other");
    }
    EXPECT_EQ(agentRuns(), 2);
}

TEST_F(Network, InstallersStartedTogetherDownloadOnceEvenWhenTheDownloaderIsKilled) {
    testsupport::ScratchDir www;
    const std::string archive = heavyArchive("1", 8 << 20);
    testsupport::writeFile(www / "agent.zip", archive);
    testsupport::Nginx nginx(www.path(), "limit_rate 8m;");
    const auto b = downloadBundle(nginx.url("agent.zip"));
    std::vector<std::future<testsupport::ProcessResult>> others;
    const auto first = run(b, {}, {}, 30s, [&](pid_t pid) {
        waitUntil([&] { return partialSize() > 0; });
        for (int i = 0; i < 7; ++i) others.push_back(std::async(std::launch::async, [&] { return run(b, {}, {}, 60s); }));
        std::this_thread::sleep_for(300ms);
        ::kill(pid, SIGKILL);
    });
    EXPECT_EQ(first.exitStatus, 128 + SIGKILL);
    for (auto& other : others) {
        const auto r = other.get();
        EXPECT_EQ(r.exitStatus, 0) << r.err;
    }
    EXPECT_EQ(agentRuns(), 7);
    EXPECT_LE(nginx.sent("GET /agent.zip").first, static_cast<long long>(archive.size()) * 105 / 100) << nginx.accessLog();
}

TEST_F(Network, AHomeThatDoesNotExistIsAFailureNotAPlaceToCreate) {
    const auto r = run(downloadBundle("http://127.0.0.1:9/agent.zip"), {}, {{"HOME", dir_ / "no/such/home"}});
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(r.err, "The home directory " + (dir_ / "no/such/home") + " does not exist.\nInstallation failed.\n");
    EXPECT_FALSE(testsupport::exists(dir_ / "no"));
}
