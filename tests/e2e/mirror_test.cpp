// More than one place to download from: the bundle's URL, then installAgentMirrors.txt, with
// scripted servers for each way a server can fail, and a real caching edge (nginx with
// proxy_cache) in front of an origin nginx, as a CDN stands in front of a vendor's server.
#include <gtest/gtest.h>
#include <signal.h>

#include <future>

#include "fixture.h"
#include "nginx.h"
#include "scripted_server.h"

namespace bi {

using namespace std::chrono_literals;
using testsupport::ScriptedReply;
using testsupport::ScriptedRequest;
using Handler = testsupport::ScriptedServer::Handler;

namespace {

class Mirrors : public InstallerTest {
protected:
    testsupport::Bundle mirroredBundle(const std::string& url, const std::string& mirrorFile,
                                       const std::string& parent = "apps") {
        auto b = downloadBundle(url, parent);
        testsupport::writeFile(b.resources + "/installAgentMirrors.txt", mirrorFile);
        return b;
    }
    bool said(const testsupport::ProcessResult& r, const std::string& text) {
        return r.err.find(text) != std::string::npos;
    }
};

// A server, or none (a port where nothing listens), and the requests it saw.
struct Place {
    explicit Place(const Handler& handler) {
        if (handler) server = std::make_unique<testsupport::ScriptedServer>(handler);
    }
    std::string url(const std::string& path) const {
        return server ? server->url(path) : "http://127.0.0.1:" + std::to_string(downPort) + path;
    }
    int requests() const { return server ? static_cast<int>(server->requests().size()) : -1; }
    std::unique_ptr<testsupport::ScriptedServer> server;
    int downPort = testsupport::freeLoopbackPort();
};

}  // namespace

TEST_F(Mirrors, EachServerThatCannotServeIsLeftForTheNextInOrder) {
    const std::string archive = heavyArchive("1", 64 << 10);
    const Handler serves = archiveServer(archive), down;
    const Handler busy = [](const ScriptedRequest&, int) { return ScriptedReply{503}; };
    const auto status = [](int code) { return [code](const ScriptedRequest&, int) { return ScriptedReply{code}; }; };
    struct Row {
        std::string name;
        Handler primary, first, second;
        int exit;
        std::vector<int> requests;  // of the primary and the two mirrors; -1: nothing listens
        std::vector<std::string> said;
        std::string mirrorFile = "M1\n# the second CDN\n\nM2\n";
        bool overridden = false;  // QV_INTERNAL_INSTALL_AGENT_URL names the primary
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"the primary refused, the first mirror serves", down, serves, serves, 0, {-1, 1, 0},
         {"Trying another server (2 of 3)", "/agent.zip left (", "Couldn't connect to server", "; trying M1"}},
        {"the primary busy through its retries", busy, serves, serves, 0, {4, 1, 0}, {"left (HTTP 503); trying M1"}},
        {"404 on the primary and the first mirror", status(404), status(410), serves, 0, {1, 1, 1},
         {"left (HTTP 404); trying M1", "left (HTTP 410); trying M2", "Trying another server (3 of 3)"}},
        {"a 403 fails the run, no mirror asked", status(403), serves, serves, 255, {1, 0, 0},
         {"Download failed with error code 403"}},
        {"every server down: the primary's failure", down, down, down, 255, {-1, -1, -1},
         {"The server cannot be reached.", "none of the 3 servers could be reached"}},
        {"the primary busy, the mirrors down: the primary's failure", busy, down, down, 255, {4, -1, -1},
         {"Download failed with error code 503", "none of the 3 servers could be reached"}},
        {"QV_INTERNAL_INSTALL_AGENT_URL: no mirror", down, serves, serves, 255, {-1, 0, 0},
         {"The server cannot be reached."}, "M1\n", true},
        {"a bad line: the file ignored, the primary alone", down, serves, serves, 255, {-1, 0, 0},
         {"installAgentMirrors.txt is ignored: line 2 is not an absolute URL: mirror.example.com/agent.zip; only the "
          "bundle's URL is used"}, "M1\nmirror.example.com/agent.zip\n"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Place primary(row.primary), first(row.first), second(row.second);
        std::string file = row.mirrorFile;
        file.replace(file.find("M1"), 2, first.url("/agent.zip"));
        if (const auto at = file.find("M2"); at != std::string::npos) file.replace(at, 2, second.url("/agent.zip"));
        Env env;
        if (row.overridden) env["QV_INTERNAL_INSTALL_AGENT_URL"] = primary.url("/agent.zip");
        const auto r = run(mirroredBundle(primary.url("/agent.zip"), file), {}, env);
        EXPECT_EQ(r.exitStatus, row.exit) << r.err;
        EXPECT_EQ((std::vector<int>{primary.requests(), first.requests(), second.requests()}), row.requests);
        for (std::string text : row.said) {
            if (const auto at = text.find("M1"); at != std::string::npos) text.replace(at, 2, first.url("/agent.zip"));
            if (const auto at = text.find("M2"); at != std::string::npos) text.replace(at, 2, second.url("/agent.zip"));
            EXPECT_TRUE(said(r, text)) << text << "\n" << r.err;
        }
        EXPECT_EQ(agentRuns(), row.exit == 0 ? 1 : 0);
        EXPECT_EQ(cachedAgent() ? version() : "", row.exit == 0 ? "1" : "");
        testsupport::removeTree(dir_ / "apps");
        testsupport::removeTree(home_ + "/.tolvar");
        testsupport::removeTree(runs_);
    }
}

// A partial archive continues on the next server only when it sends the same strong tag.
TEST_F(Mirrors, AResumeCrossesToAMirrorOnlyWithTheSameStrongTag) {
    const std::string archive = heavyArchive("1", 1 << 20);
    const size_t half = archive.size() / 2;
    for (const std::string mirrorTag : {"\"v1\"", "\"v1-cdn2\""}) {
        SCOPED_TRACE(mirrorTag);
        testsupport::ScriptedServer primary([&](const ScriptedRequest& q, int n) {
            if (n > 1) return ScriptedReply{503};
            auto reply = testsupport::serveArchive(q, archive, "\"v1\"");
            reply.dropAfter = half;
            return reply;
        });
        testsupport::ScriptedServer mirror(archiveServer(archive, mirrorTag));
        const auto r = run(mirroredBundle(primary.url("/agent.zip"), mirror.url("/agent.zip") + "\n"));
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(primary.requests().size(), 4u);
        ASSERT_EQ(mirror.requests().size(), 1u);
        EXPECT_EQ(mirror.requests()[0].header("range"), "bytes=" + std::to_string(half) + "-");
        EXPECT_EQ(mirror.requests()[0].header("if-range"), "\"v1\"");
        EXPECT_EQ(version(), "1");
        EXPECT_EQ(storedTag(), mirrorTag);
        EXPECT_EQ(cacheLeftovers(), std::vector<std::string>{});
        testsupport::removeTree(dir_ / "apps");
        testsupport::removeTree(home_ + "/.tolvar");
    }
}

// A signed bundle asks for the signature first: one that verifies against the cached agent's
// hash starts it, whatever server sent it and whatever its tag.
TEST_F(Mirrors, ASignedBundleTellsItsCachedAgentByTheSignatureWhateverTheServerAndTag) {
    const std::string www = dir_ / "www";
    testsupport::makeDirs(www);
    const auto publish = [&](const std::string& version) {
        testsupport::writeFile(www + "/agent.zip", heavyArchive(version, 64 << 10));
        ::unlink((www + "/agent.zip.minisig").c_str());
        sign(www + "/agent.zip");
    };
    const auto signedServer = [&](const std::string& tag) -> Handler {
        return [&www, tag](const ScriptedRequest& q, int) {
            if (q.path.ends_with(".minisig")) return ScriptedReply{200, {}, testsupport::readFile(www + "/agent.zip.minisig")};
            return testsupport::serveArchive(q, testsupport::readFile(www + "/agent.zip"), tag);
        };
    };
    publish("1");
    std::atomic<bool> primaryBusy{false};
    const Handler primaryServes = signedServer("\"a\"");
    testsupport::ScriptedServer primary([&](const ScriptedRequest& q, int n) {
        return primaryBusy ? ScriptedReply{503} : primaryServes(q, n);
    });
    testsupport::ScriptedServer mirror(signedServer("\"b\""));
    const auto b = mirroredBundle(primary.url("/agent.zip"), mirror.url("/agent.zip") + "\n");
    testsupport::writeFile(b.resources + "/installAgentKey.pub", testsupport::readFile(publicKey()));
    const auto paths = [](const testsupport::ScriptedServer& s) {
        std::vector<std::string> p;
        for (const auto& q : s.requests()) p.push_back(q.path);
        return p;
    };
    const auto first = run(b);
    ASSERT_EQ(first.exitStatus, 0) << first.err;
    EXPECT_EQ(paths(primary), (std::vector<std::string>{"/agent.zip", "/agent.zip.minisig"}));
    // The primary busy through its retries; the mirror's tag differs, its signature names the
    // cached agent: nobody is asked for the archive.
    primaryBusy = true;
    const auto second = run(b);
    EXPECT_EQ(second.exitStatus, 0) << second.err;
    EXPECT_EQ(paths(mirror), std::vector<std::string>{"/agent.zip.minisig"});
    EXPECT_TRUE(said(second, "The cached install agent is the one its signature names")) << second.err;
    EXPECT_EQ(agentRuns(), 2);
    // A new release: its signature does not name the cached agent, so the archive comes.
    publish("2");
    const auto third = run(b);
    EXPECT_EQ(third.exitStatus, 0) << third.err;
    EXPECT_EQ(paths(mirror),
              (std::vector<std::string>{"/agent.zip.minisig", "/agent.zip.minisig", "/agent.zip", "/agent.zip.minisig"}));
    EXPECT_EQ(version(), "2");
    EXPECT_EQ(agentRuns(), 3);
}

// Through a real caching edge in front of the origin: a resume served from the edge's cache,
// revalidation that costs the origin no body, 8 installers at once costing it one archive,
// and the edge as the mirror of a primary that is down.
TEST_F(Mirrors, ThroughACachingEdgeTheOriginSendsEachArchiveOnce) {
    testsupport::ScratchDir www;
    const std::string archive = heavyArchive("1", 4 << 20);
    testsupport::writeFile(www / "agent.zip", archive);
    testsupport::Nginx origin(www.path());
    testsupport::CachingEdge edge(origin.port(), 1, "limit_rate 4m;");
    const auto b = downloadBundle(edge.url("agent.zip"));
    const auto lastEdgeLine = [&] {
        const std::string log = edge.accessLog();
        return log.substr(log.rfind('\n', log.size() - 2) + 1);
    };

    // Stopped half way, resumed from the edge's cache with Range and If-Range.
    const auto partial = [&] { return testsupport::readFile(cacheDir() + "/.download").size(); };
    const auto stopped = run(b, {}, {}, 20s, [&](pid_t pid) {
        waitUntil([&] { return partial() > archive.size() / 3; });
        ::kill(pid, SIGTERM);
    });
    ASSERT_EQ(stopped.exitStatus, 255) << stopped.err;
    const size_t kept = partial();
    ASSERT_TRUE(run(b).exitStatus == 0);
    EXPECT_EQ(lastEdgeLine().substr(0, 4), "206 ") << edge.accessLog();
    EXPECT_EQ(std::stoull(lastEdgeLine().substr(4)), archive.size() - kept) << edge.accessLog();
    EXPECT_EQ(origin.sent("agent.zip"), std::make_pair(static_cast<long long>(archive.size()), 1));

    // Stale at the edge: it revalidates with the origin, which sends no body; then a new archive.
    std::this_thread::sleep_for(2100ms);  // the edge counts in whole seconds
    ASSERT_EQ(run(b).exitStatus, 0);
    EXPECT_EQ(lastEdgeLine().substr(0, 6), "304 0 ") << edge.accessLog();
    EXPECT_EQ(origin.sent("agent.zip"), std::make_pair(static_cast<long long>(archive.size()), 2));
    testsupport::writeFile(www / "agent.zip", heavyArchive("2", 1 << 20));
    std::this_thread::sleep_for(2100ms);  // the edge counts in whole seconds
    ASSERT_EQ(run(b).exitStatus, 0);
    EXPECT_EQ(version(), "2");

    // 8 installers at once, each on an empty cache of its own: the origin sends the archive once.
    const std::string fresh = heavyArchive("3", 2 << 20);
    testsupport::writeFile(www / "fresh.zip", fresh);
    const auto eight = downloadBundle(edge.url("fresh.zip"), "eight");
    std::vector<std::future<testsupport::ProcessResult>> runs;
    for (int i = 0; i < 8; ++i) {
        testsupport::makeDirs(dir_ / ("home" + std::to_string(i)));
        runs.push_back(std::async(std::launch::async, [&, i] {
            return run(eight, {}, {{"HOME", dir_ / ("home" + std::to_string(i))}});
        }));
    }
    for (auto& r : runs) EXPECT_EQ(r.get().exitStatus, 0);
    EXPECT_EQ(origin.sent("fresh.zip"), std::make_pair(static_cast<long long>(fresh.size()), 1));
    EXPECT_EQ(agentRuns(), 3 + 8);

    // The edge as the mirror of a primary that is down.
    const Place down{Handler{}};
    testsupport::removeTree(home_ + "/.tolvar");
    const auto r = run(mirroredBundle(down.url("/agent.zip"), edge.url("fresh.zip") + "\n", "mirrored"));
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(said(r, "Trying another server (2 of 2)")) << r.err;
    EXPECT_EQ(version(), "3");
}

// The bundle tool writes the mirrors in the order given, and refuses what could not work.
TEST_F(Mirrors, MakeBundleWritesTheMirrorFileAndRefusesWhatWouldNotWork) {
    testsupport::makeZip(dir_ / "product.zip", {{"p", "p"}});
    std::vector<std::string> nine = {"--url", "https://a/a.zip"};
    for (int i = 0; i < 9; ++i) nine.insert(nine.end(), {"--mirror", "http://m" + std::to_string(i) + "/a.zip"});
    const std::vector<std::string> two = {"--url", "https://a/a.zip", "--mirror", "http://b/a.zip", "--mirror", "https://c/a.zip"};
    // clang-format off
    const struct { std::vector<std::string> args; int status; std::string said, written; } rows[] = {
        {two, 0, "", "http://b/a.zip\nhttps://c/a.zip\n"},
        {{"--url", "https://a/a.zip"}, 0, "", ""},
        {{"--agent", dir_ / "product.zip", "--mirror", "http://b/a.zip"}, 2, "--mirror needs --url", ""},
        {{"--url", "https://a/a.zip", "--mirror", "ftp://b/a.zip"}, 1, "must start with http:// or https://: ftp://b/a.zip", ""},
        {{"--url", "https://a/a.zip", "--mirror", "http://b/a b.zip"}, 1, "holds a blank", ""},
        {nine, 2, "at most 8 mirrors (got 9)", ""},
    };
    // clang-format on
    for (const auto& row : rows) {
        const std::string app = dir_ / "Setup.app";
        std::vector<std::string> argv = {BI_MAKE_BUNDLE, "-o", app, "--bundle-zip", dir_ / "product.zip", "--installer",
                                         BI_INSTALLER};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        const auto r = testsupport::runProcess(argv);
        EXPECT_EQ(r.exitStatus, row.status) << r.err;
        EXPECT_NE(r.err.find(row.said), std::string::npos) << r.err;
        const std::string file = app + "/Contents/Resources/installAgentMirrors.txt";
        EXPECT_EQ(testsupport::exists(file) ? testsupport::readFile(file) : "", row.written);
        testsupport::removeTree(app);
    }
}

}  // namespace bi
