// The download road: the built installer, without a shipped archive, fetching the agent from
// servers that the test starts on 127.0.0.1, with the console window (no display).
#include <gtest/gtest.h>
#include <signal.h>
#include <utime.h>

#include "fixture.h"
#include "nginx.h"

namespace bi {

using testsupport::reply;
using testsupport::ScriptedReply;
using testsupport::ScriptedRequest;

namespace {

class DownloadRoad : public InstallerTest {};

}  // namespace

TEST_F(DownloadRoad, FirstRunFillsTheCacheTheSecondRevalidatesTheThirdReplacesAndProductsNeverShare) {
    testsupport::ScratchDir www;
    const auto place = [&](const std::string& name, const std::string& version, time_t when) {
        testsupport::makeZip(www / "next.zip", agentFiles(version));
        struct utimbuf t {
            when, when
        };  // nginx's tag is the time and the size
        ::utime((www / "next.zip").c_str(), &t);
        ::rename((www / "next.zip").c_str(), (www / name).c_str());
    };
    place("a.zip", "a", 1700000000);
    place("b.zip", "b", 1700000000);
    testsupport::Nginx nginx(www.path());
    const auto a = downloadBundle(nginx.url("a.zip"), "a"), b = downloadBundle(nginx.url("b.zip"), "b");
    const std::vector<std::string> args = {"--mode", "a b", "$(touch pwned)"};
    struct Step {
        const testsupport::Bundle* bundle;
        std::string version, answer;  // the agent that runs, and nginx's answer
    };
    for (const auto& step : std::vector<Step>{
             {&a, "a", "200"}, {&a, "a", "304 0 "}, {&b, "b", "200"}, {&a, "a", "200"}, {&a, "a2", "200"}}) {
        SCOPED_TRACE(step.version);
        if (step.version == "a2") place("a.zip", "a2", 1700000100);
        const auto r = run(*step.bundle, args, {{"AGENT_SIGNALS", dir_ / "signals"}});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(version(), step.version);
        std::vector<std::string> expected = {"-installbundle", step.bundle->resources + "/bundle.zip"};
        expected.insert(expected.end(), args.begin(), args.end());
        EXPECT_EQ(recorded(), expected);
        EXPECT_EQ(testsupport::readFile(self_), cacheDir() + "/installagent/install");
        const std::string log = nginx.accessLog();
        EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1, step.answer.size()), step.answer) << log;
        EXPECT_EQ(storedTag().front(), '"');  // nginx's own tag, stored as sent
        EXPECT_EQ(cacheLeftovers(), std::vector<std::string>{});
        EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
    }
    EXPECT_FALSE(testsupport::exists(dir_ / "pwned"));
    // The agent starts with none of the signals ignored that a shell would not ignore.
    const std::string sigIgn = testsupport::readFile(dir_ / "signals");
    ASSERT_TRUE(sigIgn.starts_with("SigIgn:\t")) << sigIgn;
    const auto ignored = std::stoull(sigIgn.substr(8), nullptr, 16);
    for (const int sig : {SIGPIPE, SIGXFSZ, SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        EXPECT_EQ(ignored >> (sig - 1) & 1, 0u) << sig;
}

// Long or odd tags are stored as sent and make the agent current; none makes nothing current.
// A NUL byte ends the URL: what follows never reaches the server.
TEST_F(DownloadRoad, TheServersTagIsTakenExactlyAndTheUrlEndsAtANul) {
    std::string tag, version;
    testsupport::ScriptedServer server([&](const ScriptedRequest&, int) {
        auto r = reply(200, {}, zipBytes(agentFiles(version)));
        if (!tag.empty()) r.headers.emplace_back("ETag", tag);
        return r;
    });
    const auto b = downloadBundle(server.url("/agent.zip"));
    testsupport::writeFile(b.resources + "/installAgentURL.txt",
                           server.url("/agent.zip") + std::string("\0/../secret\n", 12));
    for (const std::string& t :
         {"\"" + std::string(8192, 'e') + "\"", std::string("W/\"\x01\xff\xfe \t\x7f\""), std::string()}) {
        SCOPED_TRACE(t.size());
        tag = t, version = "first";
        ASSERT_EQ(run(b).exitStatus, 0);
        EXPECT_EQ(storedTag(), t);
        version = "second";
        ASSERT_EQ(run(b).exitStatus, 0);
        EXPECT_EQ(this->version(), t.empty() ? "second" : "first");
        testsupport::removeTree(home_ + "/.tolvar");
    }
    EXPECT_EQ(server.requests().back().path, "/agent.zip");
}

// Over HTTPS the certificate is checked against the CA certificates SSL_CERT_FILE names.
TEST_F(DownloadRoad, OverHttpsWithTheCertificateTrusted) {
    testsupport::ScratchDir www;
    testsupport::makeZip(www / "agent.zip", agentFiles("tls"));
    const int port = testsupport::freeLoopbackPort();
    testsupport::Nginx nginx(www.path(), httpsOn(port, www.path()));
    const auto r = run(downloadBundle("https://127.0.0.1:" + std::to_string(port) + "/agent.zip"), {},
                       {{"SSL_CERT_FILE", www / "cert.pem"}});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(version(), "tls");
}

TEST_F(DownloadRoad, OddHomeAndTmpdirReachEveryCommandUnchangedOnBothRoads) {
    const std::string weird = "-x a 'q' \"d\" $(touch pwned1) `touch pwned2`;touch pwned3\nl2\xff\xfe";
    testsupport::ScriptedServer server(archiveServer(zipBytes(agentFiles()), "\"odd\""));
    // Absolute, and relative to the working directory with a leading dash, which sh is given as "./-x...".
    for (const std::string& base : {dir_.path() + "/", std::string()}) {
        const std::string home = base + weird + "home", tmp = base + weird + "tmp", shown = base.empty() ? "./" : "";
        testsupport::makeDirs(dir_ / (weird + "home"));
        testsupport::makeDirs(dir_ / (weird + "tmp"));
        SCOPED_TRACE(home);
        for (const bool shipped : {true, false}) {
            const auto b = shipped ? bundle("apps", "InstallAgent.zip") : downloadBundle(server.url("/agent.zip"));
            const auto r = run(b, {weird}, {{"HOME", home}, {"TMPDIR", tmp}});
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(recorded(), (std::vector<std::string>{"-installbundle", b.resources + "/bundle.zip", weird}));
            const std::string self = testsupport::readFile(self_);
            EXPECT_TRUE(shipped
                            ? self.starts_with(shown + tmp + "/qv")
                            : self == shown + home + "/.tolvar/app_installer_cache/V0917k/xarc64/installagent/install")
                << self;
            EXPECT_EQ(testsupport::listDir(dir_ / (weird + "tmp")), std::vector<std::string>{});
            testsupport::removeTree(dir_ / "apps");
        }
        testsupport::removeTree(dir_ / (weird + "home"));
    }
    for (int i = 1; i <= 3; ++i) EXPECT_FALSE(testsupport::exists(dir_ / ("pwned" + std::to_string(i))));
}

}  // namespace bi
