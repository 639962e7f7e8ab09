// The two roads of the built installer: the agent shipped in the bundle, extracted into a private
// working directory that goes with the run, or downloaded from servers that the test starts on
// 127.0.0.1 into the per-user cache, with the console window (no display).
#include <gtest/gtest.h>
#include <signal.h>
#include <utime.h>

#include <filesystem>

#include "fixture.h"
#include "nginx.h"

namespace bi {

using testsupport::reply;
using testsupport::ScriptedRequest;

struct StartRow {
    std::string name;
    std::map<std::string, std::map<std::string, std::string>> archives;  // file name -> files
    std::vector<std::string> args;
    InstallerTest::Env env = {};
};

namespace {

class ShippedStart : public InstallerTest, public ::testing::WithParamInterface<StartRow> {};
class DownloadRoad : public InstallerTest {};

std::map<std::string, std::string> otherAgent() {
    auto other = InstallerTest::agentFiles();
    other["install"] = "#!/bin/sh\necho other >> \"$AGENT_RUNS\"\n";
    return other;
}

}  // namespace

TEST_P(ShippedStart, FromAPrivateWorkingDirectoryWithEveryArgumentUnchanged) {
    const auto& row = GetParam();
    auto b = bundle();
    for (const auto& [name, files] : row.archives) testsupport::makeZip(b.resources + "/" + name, files);
    const auto r = run(b, row.args, row.env);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(testsupport::readFile(runs_), "run\n");
    std::vector<std::string> expected = {"-installbundle", b.resources + "/bundle.zip"};
    expected.insert(expected.end(), row.args.begin(), row.args.end());
    EXPECT_EQ(recorded(), expected);
    // It ran from TMPDIR/qvXXXXXX/install, which is gone now; the cache was never touched.
    const std::string self = testsupport::readFile(self_);
    EXPECT_TRUE(self.starts_with(tmp_ + "/qv") && self.ends_with("/install") && self.size() == tmp_.size() + 17)
        << self;
    EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
    EXPECT_EQ(testsupport::listDir(home_), std::vector<std::string>{});
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, ShippedStart, ::testing::Values(
    StartRow{"InstallAgent.zip before any InstallAgent_*.zip",
             {{"InstallAgent.zip", InstallerTest::agentFiles()}, {"InstallAgent_0.zip", otherAgent()}, {"InstallAgent_9.zip", otherAgent()}},
             {"-mode", "silent"}},
    StartRow{"an InstallAgent_*.zip and an agent that fails", {{"InstallAgent_2.3.zip", InstallerTest::agentFiles()}}, {"x"},
             {{"AGENT_EXIT", "7"}}}), RowName());
// clang-format on

// The test variable puts the agent beside the bundle; the working directory still comes and goes.
TEST_F(InstallerTest, TheTestVariablePutsTheAgentBesideTheBundle) {
    const auto b = bundle("beside", "InstallAgent.zip");
    for (const char* value : {"", "1"}) {
        const auto r = run(b, {"x"}, {{"__QV_BOOTSTRAP_INSTALLER_UNITTEST__", value}});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(testsupport::readFile(self_), dir_ / "beside/install");
        EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
        ::unlink((dir_ / "beside/install").c_str());
    }
}

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
    struct Step {
        const testsupport::Bundle* bundle;
        std::string version, answer;  // the agent that runs, and nginx's answer
    };
    for (const auto& step : std::vector<Step>{
             {&a, "a", "200"}, {&a, "a", "304 0 "}, {&b, "b", "200"}, {&a, "a", "200"}, {&a, "a2", "200"}}) {
        SCOPED_TRACE(step.version);
        if (step.version == "a2") place("a.zip", "a2", 1700000100);
        const auto r = run(*step.bundle, {}, {{"AGENT_SIGNALS", dir_ / "signals"}});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(version(), step.version);
        const std::string log = nginx.accessLog();
        EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1, step.answer.size()), step.answer) << log;
        EXPECT_EQ(cacheLeftovers(), std::vector<std::string>{});
        EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
    }
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

// Odd bytes in every name and argument: blanks, quotes, command substitutions, a line feed, bytes
// that are not UTF-8 and a leading dash, in HOME, TMPDIR, the bundle's directory and the archive's
// name. bundle.zip is missing: the agent gets its path all the same.
TEST_F(DownloadRoad, OddNamesAndArgumentsReachEveryCommandUnchangedOnBothRoads) {
    const std::string weird = "-x a 'q' \"d\" $(touch pwned1) `touch pwned2`;touch pwned3\nl2\xff\xfe";
    const std::vector<std::string> args = {
        "a b",          "'quoted'", "\"dq\"",    "$(touch pwned4)", "`touch pwned5`", "*",  "-n",
        "line1\nline2", "",         "tab\there", "\\back",          "; touch pwned6", weird};
    std::vector<std::string> expected = {"-installbundle", ""};
    expected.insert(expected.end(), args.begin(), args.end());
    testsupport::ScriptedServer server(archiveServer(zipBytes(agentFiles()), "\"odd\""));
    // Absolute, and relative to the working directory with a leading dash, which sh is given as "./-x...".
    for (const std::string& base : {dir_.path() + "/", std::string()}) {
        const std::string home = base + weird + "home", tmp = base + weird + "tmp", shown = base.empty() ? "./" : "";
        testsupport::makeDirs(dir_ / (weird + "home"));
        testsupport::makeDirs(dir_ / (weird + "tmp"));
        SCOPED_TRACE(home);
        for (const bool shipped : {true, false}) {
            const auto b = shipped ? bundle(weird, "InstallAgent_" + weird + ".zip")
                                   : downloadBundle(server.url("/agent.zip"), weird);
            ::unlink((b.resources + "/bundle.zip").c_str());
            const auto r = run(b, args, {{"HOME", home}, {"TMPDIR", tmp}});
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            expected[1] = b.resources + "/bundle.zip";
            EXPECT_EQ(recorded(), expected);
            const std::string self = testsupport::readFile(self_);
            EXPECT_TRUE(shipped
                            ? self.starts_with(shown + tmp + "/qv")
                            : self == shown + home + "/.tolvar/app_installer_cache/V0917k/xarc64/installagent/install")
                << self;
            EXPECT_EQ(testsupport::listDir(dir_ / (weird + "tmp")), std::vector<std::string>{});
            testsupport::removeTree(dir_ / weird);
        }
        testsupport::removeTree(dir_ / (weird + "home"));
    }
    // No file "pwned<digit>" anywhere: no command in a name or an argument ran.
    for (auto it = std::filesystem::recursive_directory_iterator(dir_.path());
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        EXPECT_FALSE(it->path().filename().string().starts_with("pwned")) << it->path();
    }
}

}  // namespace bi
