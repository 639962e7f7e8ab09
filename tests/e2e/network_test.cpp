// The download road on the networks people have: lost connections, resumed archives, a
// server that cannot be reached, installers that start together, and proxies (a real
// tinyproxy on 127.0.0.1, given as people give it: the usual environment variables,
// credentials in the proxy's URL, no_proxy).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <future>

#include "fixture.h"
#include "http_server.h"
#include "nginx.h"
#include "scripted_server.h"

namespace bi {

using namespace std::chrono_literals;
using testsupport::ScriptedReply;
using testsupport::ScriptedRequest;

namespace {

class Network : public InstallerTest {
protected:
    int64_t partialSize() const {
        return static_cast<int64_t>(testsupport::readFile(cacheDir() + "/.download").size());
    }
};

class TinyProxy {
public:
    explicit TinyProxy(bool withPassword) : port_(testsupport::freeLoopbackPort()) {
        testsupport::writeFile(dir_ / "tinyproxy.conf",
                               "Port " + std::to_string(port_) +
                                   "\nListen 127.0.0.1\nAllow 127.0.0.1\nLogLevel Info\nLogFile \"" + (dir_ / "log") +
                                   "\"\n" + (withPassword ? "BasicAuth ann secret\n" : ""));
        daemon_ = std::make_unique<testsupport::Daemon>(
            std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c", dir_ / "tinyproxy.conf"},
            [this] { return testsupport::waitForPort(port_, 20); });
        if (!daemon_->ready()) throw std::runtime_error("tinyproxy did not start");
    }
    std::string url(const std::string& credentials = "") const {
        return "http://" + credentials + "127.0.0.1:" + std::to_string(port_);
    }
    std::string log() const { return testsupport::readFile(dir_ / "log"); }

private:
    testsupport::ScratchDir dir_;
    int port_;
    std::unique_ptr<testsupport::Daemon> daemon_;
};

}  // namespace

TEST_F(Network, TransientFailuresAreRetriedResumedAndEndWithTheServersCurrentArchive) {
    const std::string v1 = heavyArchive("1", 1 << 20), v2 = heavyArchive("2", 1 << 20);
    const size_t half = v1.size() / 2;
    const auto dropHalf = [&](const ScriptedRequest& q) {
        auto reply = testsupport::serveArchive(q, v1, "\"v1\"");
        reply.dropAfter = half;
        return reply;
    };
    const auto weakDropHalf = [&](const ScriptedRequest& q, int n) {
        auto reply = testsupport::serveArchive(q, v1, "W/\"v1\"");
        if (n == 1) reply.dropAfter = half;
        return reply;
    };
    struct Row {
        std::string name;
        std::function<ScriptedReply(const ScriptedRequest&, int)> answer;
        int exit, requests;
        std::string version, said;
        std::map<std::string, std::optional<std::string>> env = {};
        std::string range = "";  // what the second request must ask for
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"resumed where it broke",
         [&](const ScriptedRequest& q, int n) { return n == 1 ? dropHalf(q) : testsupport::serveArchive(q, v1, "\"v1\""); },
         0, 2, "1", "retrying in"},
        {"a server that ignores Range",
         [&](const ScriptedRequest& q, int n) { return n == 1 ? dropHalf(q) : testsupport::serveArchive({}, v1, "\"v1\""); },
         0, 2, "1", ""},
        {"a 206 of another archive is not appended",
         [&](const ScriptedRequest& q, int n) {
             if (n == 1) return dropHalf(q);
             if (n > 2) return testsupport::serveArchive(q, v2, "\"v2\"");
             return ScriptedReply{206, {{"ETag", "\"v2\""}, {"Content-Range", "bytes " + std::to_string(half) + "-" +
                                        std::to_string(v2.size() - 1) + "/" + std::to_string(v2.size())}}, v2.substr(half)};
         },
         0, 3, "2", ""},
        {"a weak tag is never resumed", weakDropHalf, 0, 2, "1", "", {}, "none"},
        {"Retry-After beyond the cap waits the cap",
         [&](const ScriptedRequest& q, int n) {
             return n == 1 ? ScriptedReply{429, {{"Retry-After", "86400"}}} : testsupport::serveArchive(q, v1, "\"v1\"");
         },
         0, 2, "1", "(HTTP 429); retrying in 300 ms"},
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
         255, 2, "", "Download failed! Error - the server sent the archive from byte 0 instead of byte"},
        {"503 and Retry-After, then the archive",
         [&](const ScriptedRequest& q, int n) {
             return n == 1 ? ScriptedReply{503, {{"Retry-After", "3"}}} : testsupport::serveArchive(q, v1, "\"v1\"");
         },
         0, 2, "1", "(HTTP 503); retrying in 30 ms"},
        {"503 every time", [](const ScriptedRequest&, int) { return ScriptedReply{503}; }, 255, 4, "",
         "The server is busy. Trying again in 1 s (attempt 4 of 4)"},
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
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::ScriptedServer server(row.answer);
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
        if (row.name == "resumed where it broke") {
            EXPECT_EQ(requests[1].header("range"), "bytes=" + std::to_string(half) + "-");
            EXPECT_EQ(requests[1].header("if-range"), "\"v1\"");
        }
        if (row.range == "none") {
            EXPECT_EQ(requests[1].header("range") + requests[1].header("if-range"), "");
        }
        testsupport::removeTree(dir_ / "apps");
        testsupport::removeTree(home_ + "/.tolvar");
    }

    // A partial archive longer than the archive is now: 416, then the whole archive, once.
    testsupport::ScriptedServer server(archiveServer(v1, "\"v1\""));
    const auto b = downloadBundle(server.url("/agent.zip"));
    testsupport::writeFile(cacheDir() + "/.download", v1 + "more");
    testsupport::writeFile(cacheDir() + "/.download.record",
                           "bootstrap-installer cache record 1\nurl " + server.url("/agent.zip") + "\ntag \"v1\"\n");
    EXPECT_EQ(run(b).exitStatus, 0);
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[0].header("range"), "bytes=" + std::to_string(v1.size() + 4) + "-");
    EXPECT_EQ(server.requests()[1].header("range"), "");
    EXPECT_EQ(version(), "1");
    // A second 416, to the request that asked for the whole archive, ends the run.
    testsupport::ScriptedServer refusing([](const ScriptedRequest&, int) { return ScriptedReply{416}; });
    const auto c = downloadBundle(refusing.url("/agent.zip"), "c");
    testsupport::writeFile(cacheDir() + "/.download", v1);
    testsupport::writeFile(cacheDir() + "/.download.record",
                           "bootstrap-installer cache record 1\nurl " + refusing.url("/agent.zip") + "\ntag \"v1\"\n");
    const auto r = run(c);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_NE(r.err.find("Download failed with error code 416"), std::string::npos) << r.err;
    EXPECT_EQ(refusing.requests().size(), 2u);
    // Without a partial archive, a 416 is no reason to ask again.
    EXPECT_EQ(run(c).exitStatus, 255);
    EXPECT_EQ(refusing.requests().size(), 3u);
}

TEST_F(Network, AnInterruptedDownloadResumesInTheNextRun) {
    testsupport::ScratchDir www;
    const std::string archive = heavyArchive("1", 4 << 20);
    testsupport::writeFile(www / "agent.zip", archive);
    testsupport::Nginx nginx(www.path(), "limit_rate 4m;");
    const auto b = downloadBundle(nginx.url("agent.zip"));
    for (const int sig : {SIGHUP, SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        testsupport::removeTree(home_ + "/.tolvar");
        std::chrono::steady_clock::time_point signalled;
        const auto r = run(b, {}, {}, 20s, [&](pid_t pid) {
            waitUntil([&] { return partialSize() > static_cast<int64_t>(archive.size() / 3); });
            for (const char* name : {"/.download", "/.download.record"}) {  // another user's eyes see nothing
                struct stat st {};
                EXPECT_EQ(::stat((cacheDir() + name).c_str(), &st), 0) << name;
                EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
            }
            signalled = std::chrono::steady_clock::now();
            ::kill(pid, sig);
        });
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, 1s);
        expectFailed(r, {"The installation was cancelled.\nInstallation failed.\n"}, partialArchive());
    }
    const auto first = nginx.sent("GET /agent.zip");
    ASSERT_EQ(run(b).exitStatus, 0);
    const auto all = nginx.sent("GET /agent.zip");
    EXPECT_EQ(all.second, first.second + 1);
    EXPECT_LT(all.first - first.first, static_cast<long long>(archive.size()) * 7 / 10);  // the rest, not the whole
    EXPECT_EQ(version(), "1");
}

TEST_F(Network, WithoutTheServerTheAgentCachedFromTheSameUrlStarts) {
    const std::string archive = zipBytes(agentFiles("1"));
    std::function<ScriptedReply(const ScriptedRequest&, int)> answer = [&](const ScriptedRequest& q, int) {
        return testsupport::serveArchive(q, archive, "\"v1\"");
    };
    auto server =
        std::make_unique<testsupport::ScriptedServer>([&](const ScriptedRequest& q, int n) { return answer(q, n); });
    const std::string url = server->url("/agent.zip");
    const auto b = downloadBundle(url);
    ASSERT_EQ(run(b).exitStatus, 0);

    // The agent removed between the question and the 304: asked again, without conditions.
    answer = [&](const ScriptedRequest& q, int) {
        testsupport::removeTree(cacheDir() + "/installagent");
        return testsupport::serveArchive(q, archive, "\"v1\"");
    };
    auto r = run(b);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    ASSERT_EQ(server->requests().size(), 3u);
    EXPECT_EQ(server->requests()[2].header("if-none-match"), "");

    // A server that answered, if only with an error, was reached: the cached agent does not
    // start, also when the port refuses connections afterwards.
    answer = [](const ScriptedRequest&, int) { return ScriptedReply{503, {{"Retry-After", "30"}}}; };
    r = run(b, {}, {}, 60s, [&](pid_t) {
        waitUntil([&] { return server->requests().size() > 3; });
        std::this_thread::sleep_for(50ms);
        server.reset();
    });
    EXPECT_EQ(r.exitStatus, 255) << r.err;
    EXPECT_NE(r.err.find("Failed to connect"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Could not reach the server"), std::string::npos) << r.err;
    EXPECT_EQ(agentRuns(), 2);

    r = run(b, {"x"});  // the port refuses connections now
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.err.find("Could not reach the server; starting the installer downloaded on 20"), std::string::npos)
        << r.err;
    EXPECT_EQ(agentRuns(), 3);

    // Another URL has no agent of its own to fall back on.
    r = run(downloadBundle(url + "?other", "other"));
    EXPECT_EQ(r.exitStatus, 255) << r.err;
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
    for (auto& other : others) {
        const auto r = other.get();
        EXPECT_EQ(r.exitStatus, 0) << r.err;
    }
    EXPECT_EQ(agentRuns(), 7);
    EXPECT_LE(nginx.sent("GET /agent.zip").first, static_cast<long long>(archive.size()) * 13 / 10)
        << nginx.accessLog();
}

TEST_F(Network, DownloadsGoThroughTheProxyThatTheEnvironmentNames) {
    const std::string archive = zipBytes(agentFiles("proxied"));
    testsupport::ScriptedServer plain(
        [&](const testsupport::ScriptedRequest& q, int) { return testsupport::serveArchive(q, archive, "\"p\""); });
    testsupport::ScratchDir keys;
    testsupport::makeCertificate(keys.path());
    testsupport::HttpServer tls(
        std::make_unique<httplib::SSLServer>((keys / "cert.pem").c_str(), (keys / "key.pem").c_str()), "https");
    (*tls).Get("/agent.zip", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("ETag", "\"t\"");
        res.set_content(archive, "application/zip");
    });
    TinyProxy open(false), guarded(true);
    const std::string dead = "http://127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort());
    struct Row {
        std::string name, url;
        std::map<std::string, std::optional<std::string>> env;
        std::string proxyLog;  // what the proxy saw
        std::string failure;   // "" for a run that starts the agent
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"http_proxy", plain.url("/agent.zip"), {{"http_proxy", open.url()}}, "GET " + plain.url("/agent.zip")},
        {"https_proxy, CONNECT", tls.url("/agent.zip"), {{"https_proxy", open.url()}, {"SSL_CERT_FILE", keys / "cert.pem"}},
         "CONNECT 127.0.0.1:" + std::to_string(tls.port())},
        {"no_proxy", plain.url("/agent.zip"), {{"http_proxy", dead}, {"no_proxy", "127.0.0.1"}}, ""},
        {"credentials in the URL", plain.url("/agent.zip"), {{"http_proxy", guarded.url("ann:secret@")}}, ""},
        {"no credentials", plain.url("/agent.zip"), {{"http_proxy", guarded.url()}}, "",
         "The proxy server requires authentication."},
        {"a wrong password for a CONNECT", tls.url("/agent.zip"),
         {{"https_proxy", guarded.url("ann:wrong@")}, {"SSL_CERT_FILE", keys / "cert.pem"}}, "",
         "The proxy server requires authentication."},
        {"no credentials for a CONNECT", tls.url("/agent.zip"),
         {{"https_proxy", guarded.url()}, {"SSL_CERT_FILE", keys / "cert.pem"}}, "",
         "The proxy server requires authentication."},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto r = run(downloadBundle(row.url), {}, row.env);
        if (row.failure.empty()) {
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(testsupport::readFile(cacheDir() + "/installagent/lib/version.txt"), "proxied");
            EXPECT_NE(open.log().find(row.proxyLog), std::string::npos) << open.log();
        } else {
            EXPECT_EQ(r.exitStatus, 255);
            EXPECT_NE(r.err.find(row.failure), std::string::npos) << r.err;
            // The log names the proxy, never its password.
            const std::string named = row.name.starts_with("a wrong password") ? guarded.url("ann@") : guarded.url();
            EXPECT_NE(r.err.find("requires authentication: " + named + " "), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("wrong"), std::string::npos) << r.err;
        }
        testsupport::removeTree(dir_ / "apps");
        testsupport::removeTree(home_ + "/.tolvar");
    }
}

}  // namespace bi
