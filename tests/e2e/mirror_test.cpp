// More than one place to download from: the bundle's URL, then installAgentMirrors.txt, against
// scripted servers for each way a server can fail, and through a real caching edge (nginx with
// proxy_cache) in front of an origin nginx, as a CDN stands in front of a vendor's server.
#include <gtest/gtest.h>
#include <signal.h>

#include <future>
#include <regex>

#include "fixture.h"
#include "nginx.h"

namespace bi {

using namespace std::chrono_literals;
using testsupport::ScriptedReply;
using testsupport::ScriptedRequest;
using Handler = testsupport::ScriptedServer::Handler;

namespace {

// A scripted server, or for no handler a port where nothing listens.
struct Place {
    explicit Place(const Handler& handler) {
        if (handler) server.emplace(handler);
    }
    std::string url() const { return server ? server->url("/agent.zip") : "http://127.0.0.1:9/agent.zip"; }
    // Each request's path, Range and If-Range.
    std::string asked() const {
        std::string all;
        for (const auto& q : server ? server->requests() : std::vector<ScriptedRequest>{})
            all += q.path + q.header("range") + q.header("if-range") + " ";
        return all;
    }
    std::optional<testsupport::ScriptedServer> server;
};

class Mirrors : public InstallerTest {
protected:
    // A bundle of url with mirrorFile, in which M1 and M2 stand for the mirrors' URLs.
    testsupport::Bundle bundle(const std::string& url, std::string mirrorFile, const Place& m1, const Place& m2) {
        auto b = downloadBundle(url);
        for (const auto& [name, place] : {std::pair{"M1", &m1}, {"M2", &m2}})
            if (const auto at = mirrorFile.find(name); at != std::string::npos) mirrorFile.replace(at, 2, place->url());
        testsupport::writeFile(b.resources + "/installAgentMirrors.txt", mirrorFile);
        return b;
    }
};

}  // namespace

TEST_F(Mirrors, EachServerThatCannotServeIsLeftForTheNextInOrder) {
    const std::string archive = heavyArchive("1", 1 << 20), half = std::to_string(archive.size() / 2);
    const Handler ok = archiveServer(archive), down, retagged = archiveServer(archive, "\"u\"");
    const auto status = [](int code) { return [code](const ScriptedRequest&, int) { return ScriptedReply{code}; }; };
    const Handler brokenThenBusy = [&](const ScriptedRequest& q, int n) {
        auto r = n == 1 ? testsupport::serveArchive(q, archive, "\"t\"") : ScriptedReply{503};
        r.dropAfter = archive.size() / 2;
        return r;
    };
    struct Row {
        std::string name;
        Handler primary, first, second;
        int exit;
        std::string asked, said, file = "  M1  \r\n# the second CDN\n\t\nM2\n";  // asked: of the primary, the mirrors
        Env env = {};
    };
    const std::string z = "/agent.zip ", resumed = "/agent.zipbytes=" + half + "-\"t\" ";
    // clang-format off
    const std::vector<Row> rows = {
        {"refused", down, ok, ok, 0, "|" + z + "|", "Couldn't connect to server); trying http://127.0.0.1:"},
        {"busy through the retries", status(503), ok, ok, 0, z + z + z + z + "|" + z + "|", "Trying another server (2 of 3)"},
        {"404, then 410", status(404), status(410), ok, 0, z + "|" + z + "|" + z, "left (HTTP 410); trying"},
        {"403 asks no mirror", status(403), ok, ok, 255, z + "||", "Download failed with error code 403"},
        {"all down", status(503), down, down, 255, z + z + z + z + "||", "none of the 3 servers could be reached"},
        {"a bad line: the primary alone", down, ok, ok, 255, "||", "is ignored: line 2 is not an absolute URL: m.example.com/a.zip; only the bundle's URL is used", "M1\nm.example.com/a.zip"},
        {"a ninth mirror", down, ok, ok, 255, "||", "line 11 is one more than 8 mirrors: http://127.0.0.1:", "#\nhttp://127.0.0.1:9/1\nhttp://127.0.0.1:9/2\nhttp://127.0.0.1:9/3\nhttp://127.0.0.1:9/4\nhttp://127.0.0.1:9/5\nhttp://127.0.0.1:9/6\nhttp://127.0.0.1:9/7\nhttp://127.0.0.1:9/8\n\nM1"},
        {"another scheme", down, ok, ok, 255, "||", "line 2 names a scheme other than http and https: ftp://a/x", "M1\nftp://a/x"},
        {"no host", down, ok, ok, 255, "||", "line 1 names no host: http://", "http://\nM1"},
        {"a blank", down, ok, ok, 255, "||", "line 1 holds a blank: http://a/x y", "http://a/x y\nM1"},
        {"not text", down, ok, ok, 255, "||", "line 2 is not text: # \\x00", std::string("M1\n# \0", 6)},
        {"QV_INTERNAL_INSTALL_AGENT_URL: no mirror", down, ok, ok, 255, "||", "The server cannot be reached.", "M1", {{"QV_INTERNAL_INSTALL_AGENT_URL", "http://127.0.0.1:9/agent.zip"}}},
        {"broken, resumed on a mirror with the same tag", brokenThenBusy, ok, ok, 0, z + resumed + resumed + resumed + "|" + resumed + "|", "", "M1"},
        {"broken, a mirror with another tag starts over", brokenThenBusy, retagged, ok, 0, z + resumed + resumed + resumed + "|" + resumed + "|", "", "M1"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Place primary(row.primary), first(row.first), second(row.second);
        const auto r = run(bundle(primary.url(), row.file, first, second), {}, row.env);
        EXPECT_EQ(r.exitStatus, row.exit) << r.err;
        EXPECT_NE(r.err.find(row.said), std::string::npos) << r.err;
        EXPECT_EQ(primary.asked() + "|" + first.asked() + "|" + second.asked(), row.asked);
        testsupport::removeTree(dir_ / "apps");
        testsupport::removeTree(home_ + "/.tolvar");
    }
}

// A signed bundle asks for the signature first: on a first run before the archive, from the same
// server; then one that verifies against the cached agent's hash starts it, whatever server sent
// it and whatever its tag; a new release's does not.
TEST_F(Mirrors, ASignedBundleTellsItsCachedAgentByTheSignatureWhateverTheServerAndTag) {
    const std::string zip = dir_ / "agent.zip";
    const auto publish = [&](const std::string& version) {
        testsupport::writeFile(zip, heavyArchive(version, 64 << 10));
        sign(zip);
    };
    std::atomic<bool> primaryBusy{false};
    const auto server = [&](const std::string& tag, bool primary) -> Handler {
        return [&, tag, primary](const ScriptedRequest& q, int) {
            if (primary && primaryBusy) return ScriptedReply{503};
            if (q.path.ends_with(".minisig")) return ScriptedReply{200, {}, testsupport::readFile(zip + ".minisig")};
            return testsupport::serveArchive(q, testsupport::readFile(zip), tag);
        };
    };
    publish("1");
    const Place primary(server("\"a\"", true)), mirror(server("\"b\"", false));
    const auto b = bundle(primary.url(), "M1", mirror, mirror);
    testsupport::writeFile(b.resources + "/installAgentKey.pub", testsupport::readFile(publicKey()));
    ASSERT_EQ(run(b).exitStatus, 0);
    EXPECT_EQ(primary.asked(), "/agent.zip.minisig /agent.zip ");
    primaryBusy = true;
    EXPECT_NE(run(b).err.find("The cached install agent is the one its signature names"), std::string::npos);
    publish("2");
    EXPECT_EQ(run(b).exitStatus, 0);
    EXPECT_EQ(mirror.asked(), "/agent.zip.minisig /agent.zip.minisig /agent.zip /agent.zip.minisig ");
    EXPECT_EQ(version(), "2");
    EXPECT_EQ(agentRuns(), 3);
}

// Through a caching edge: a resume served from its cache, a revalidation that costs the origin
// no body, and 8 installers at once whose primary is down, costing the origin one archive.
TEST_F(Mirrors, ThroughACachingEdgeTheOriginSendsEachArchiveOnce) {
    testsupport::ScratchDir www;
    const std::string archive = heavyArchive("1", 1 << 20);
    testsupport::writeFile(www / "agent.zip", archive);
    testsupport::Nginx origin(www.path());
    testsupport::CachingEdge edge(origin.port(), 1, "limit_rate 1m;");
    const auto b = downloadBundle(edge.url("agent.zip"));
    std::chrono::steady_clock::time_point stopped;  // the edge has cached the archive by then
    const auto stopAtAThird = [&](pid_t pid) {
        waitUntil([&] { return testsupport::readFile(cacheDir() + "/.download").size() > archive.size() / 3; });
        stopped = std::chrono::steady_clock::now();
        ::kill(pid, SIGTERM);
    };
    EXPECT_EQ(run(b, {}, {}, 20s, stopAtAThird).exitStatus, 255);
    ASSERT_EQ(run(b).exitStatus, 0);
    // The stopped run's request, then the resumed one's, served from the edge's cache.
    EXPECT_TRUE(std::regex_match(edge.accessLog(), std::regex("200 \\d+ .* MISS\n206 \\d+ .* (HIT|REVALIDATED)\n")))
        << edge.accessLog();
    std::this_thread::sleep_until(stopped + 2100ms);  // stale at the edge, which counts in whole seconds
    ASSERT_EQ(run(b).exitStatus, 0);
    EXPECT_TRUE(edge.accessLog().ends_with("304 0 \"GET /agent.zip HTTP/1.1\" REVALIDATED\n")) << edge.accessLog();
    EXPECT_EQ(origin.sent("agent.zip").first, static_cast<long long>(archive.size()));

    // 8 at once, each on an empty cache of its own, from a bundle made with make-bundle --mirror
    // whose primary is down: the edge serves them all, and the origin sends the archive once.
    const std::string fresh = heavyArchive("3", 256 << 10);
    testsupport::writeFile(www / "fresh.zip", fresh);
    std::vector<std::string> tool = {BI_MAKE_BUNDLE,       "-o",          dir_ / "M.app", "--bundle-zip",
                                     BI_INSTALLER,         "--installer", BI_INSTALLER,   "--url",
                                     "http://127.0.0.1:9", "--mirror",    "ftp://a/x.zip"};
    EXPECT_EQ(testsupport::runProcess(tool).exitStatus, 1);  // a mirror is checked as --url is
    tool.back() = edge.url("fresh.zip");
    ASSERT_EQ(testsupport::runProcess(tool).exitStatus, 0);
    std::vector<std::future<testsupport::ProcessResult>> eight;
    for (const std::string home : {"1", "2", "3", "4", "5", "6", "7", "8"}) {
        testsupport::makeDirs(dir_ / home);
        eight.push_back(std::async(std::launch::async, [&, home] {
            return run({dir_ / "M.app", dir_ / "M.app/Contents/MacOS/M", ""}, {}, {{"HOME", dir_ / home}});
        }));
    }
    for (auto& one : eight) EXPECT_NE(one.get().err.find("Trying another server (2 of 2)"), std::string::npos);
    EXPECT_EQ(origin.sent("fresh.zip"), std::make_pair(static_cast<long long>(fresh.size()), 1));
    EXPECT_EQ(agentRuns(), 2 + 8);
}

}  // namespace bi
