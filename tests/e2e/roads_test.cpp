// The two roads of the built installer: the agent shipped in the bundle, extracted into a private
// working directory that goes with the run, or downloaded from servers that the test starts on
// 127.0.0.1 into the per-user cache, with the console window (no display).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>

#include "fixture.h"
#include "nginx.h"

namespace bi {

using testsupport::reply;
using testsupport::ScriptedRequest;

struct StartRow {
    std::string name;
    std::map<std::string, std::map<std::string, std::string>> archives;  // file name -> files; {}: the agent's
    std::vector<std::string> args;
    InstallerTest::Env env = {};
    std::string said = "";  // the log line on standard error; "" for none at all
    mode_t tmpMode = 0;     // the test's TMPDIR made read-only or writable by others
    bool unprivileged = false;
};

namespace {

class ShippedStart : public InstallerTest, public ::testing::WithParamInterface<StartRow> {};
class DownloadRoad : public InstallerTest {};

std::map<std::string, std::string> otherAgent() {
    auto other = InstallerTest::agentFiles();
    other["install"] = "#!/bin/sh\necho other >> \"$AGENT_RUNS\"\n";
    return other;
}

// An agent that leaves a directory without write permission in its working directory.
std::map<std::string, std::string> readOnlyLeftAgent() {
    auto files = InstallerTest::agentFiles();
    files["install"] = "d=$(dirname \"$0\")/ro; mkdir \"$d\" && : > \"$d/f\" && chmod 500 \"$d\"\n" + files["install"];
    return files;
}

// Sixteen arguments of 64 KiB, 1 MiB in all: more than sh -c takes in one string.
std::vector<std::string> aMebibyteOfArguments() {
    std::vector<std::string> args;
    for (char c = 'a'; c < 'a' + 16; ++c) args.push_back(std::string(64 << 10, c) + " '\"$x");
    return args;
}

}  // namespace

TEST_P(ShippedStart, FromAPrivateWorkingDirectoryWithEveryArgumentUnchanged) {
    const auto& row = GetParam();
    auto b = bundle("apps", row.archives.empty() ? "InstallAgent.zip" : "");
    for (const auto& [name, files] : row.archives) testsupport::makeZip(b.resources + "/" + name, files);
    if (row.tmpMode != 0) ::chmod(tmp_.c_str(), row.tmpMode);
    unprivileged_ = row.unprivileged;
    const auto r = run(b, row.args, row.env);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(row.said.empty() ? r.err.empty() : r.err.find(row.said) != std::string::npos) << r.err;
    EXPECT_EQ(testsupport::readFile(runs_), "run\n");
    std::vector<std::string> expected = {"-installbundle", b.resources + "/bundle.zip"};
    expected.insert(expected.end(), row.args.begin(), row.args.end());
    EXPECT_TRUE(recorded() == expected) << recorded().size();  // not printed: a mebibyte
    // It ran from TMPDIR/qvXXXXXX/install (or /tmp's), which is gone now, and nothing is left
    // beside the bundle; the cache was never touched.
    const std::string self = testsupport::readFile(self_);
    const std::string work = row.tmpMode == 0 && !row.env.contains("TMPDIR") ? tmp_ : "/tmp";
    EXPECT_TRUE(self.starts_with(work + "/qv") && self.ends_with("/install") && self.size() == work.size() + 17)
        << self;
    EXPECT_FALSE(testsupport::exists(self.substr(0, self.size() - 8)));
    EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
    EXPECT_EQ(testsupport::listDir(dir_ / "apps"), std::vector<std::string>{"Setup.app"});
    EXPECT_FALSE(testsupport::exists(home_ + "/.tolvar"));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, ShippedStart, ::testing::Values(
    StartRow{"InstallAgent.zip before any InstallAgent_*.zip",
             {{"InstallAgent.zip", InstallerTest::agentFiles()}, {"InstallAgent_0.zip", otherAgent()}, {"InstallAgent_9.zip", otherAgent()}},
             {"-mode", "silent"}},
    StartRow{"an InstallAgent_*.zip and an agent that fails as sh does without a program",
             {{"InstallAgent_2.3.zip", InstallerTest::agentFiles()}}, {"x"}, {{"AGENT_EXIT", "127"}, {"TMPDIR", std::nullopt}}},
    StartRow{"a mebibyte of arguments", {}, aMebibyteOfArguments()},
    StartRow{"an empty TMPDIR is /tmp's", {}, {}, {{"TMPDIR", ""}}},
    StartRow{"TMPDIR not a directory", {}, {}, {{"TMPDIR", "/dev/null"}}, "The working directory is made in /tmp: "},
    StartRow{"TMPDIR writable by others", {}, {}, {}, "The working directory is made in /tmp: ", 0757},
    StartRow{"TMPDIR read-only, as a user", {}, {}, {}, "The working directory is made in /tmp: ", 0500, true},
    StartRow{"a read-only directory the agent leaves, as a user", {{"InstallAgent.zip", readOnlyLeftAgent()}}, {}, {}, "", 0,
             true}), RowName());
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
        const auto r = run(*step.bundle, {}, {{"AGENT_SIGNALS", dir_ / "signals"}, {"AGENT_FDS", dir_ / "fds"}});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(version(), step.version);
        // The cache's locks and the working directory's stay the installer's: an agent's child
        // that outlives it must not keep the cache locked.
        const std::string fds = testsupport::readFile(dir_ / "fds");
        EXPECT_EQ(fds.find("lock"), std::string::npos) << fds;
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

// Started with standard input, output and error closed, the download road still works: its
// own descriptors never take their numbers.
TEST_F(DownloadRoad, WithItsStandardDescriptorsClosedItStillWorks) {
    testsupport::ScriptedServer server(archiveServer(zipBytes(agentFiles()), "\"c\""));
    const auto b = downloadBundle(server.url("/agent.zip"));
    wrapper_ = {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"};
    for (int i = 1; i <= 20; ++i) {
        if (i % 2 == 1) testsupport::removeTree(home_ + "/.tolvar");
        EXPECT_EQ(run(b).exitStatus, 0) << "run " << i;
    }
    EXPECT_EQ(agentRuns(), 20);
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

// Over HTTPS the certificate is checked against the CA certificates that SSL_CERT_FILE or
// SSL_CERT_DIR names.
TEST_F(DownloadRoad, OverHttpsWithTheCertificateTrusted) {
    testsupport::ScratchDir www;
    testsupport::makeZip(www / "agent.zip", agentFiles("tls"));
    const int port = testsupport::freeLoopbackPort();
    testsupport::Nginx nginx(www.path(), httpsOn(port, www.path()));
    testsupport::writeFile(dir_ / "certs/ca.pem", testsupport::readFile(www / "cert.pem"));
    ASSERT_EQ(testsupport::runProcess({"/usr/bin/openssl", "rehash", dir_ / "certs"}).exitStatus, 0);
    const auto b = downloadBundle("https://127.0.0.1:" + std::to_string(port) + "/agent.zip");
    for (const Env& env : {Env{{"SSL_CERT_FILE", www / "cert.pem"}},
                           Env{{"SSL_CERT_FILE", std::nullopt}, {"SSL_CERT_DIR", dir_ / "certs"}}}) {
        testsupport::removeTree(home_ + "/.tolvar");
        const auto r = run(b, {}, env);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(version(), "tls");
    }
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
