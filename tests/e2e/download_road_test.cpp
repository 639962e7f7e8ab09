// The download road: the built installer, without a shipped archive, fetching the agent from
// servers that the test starts on 127.0.0.1, with the console window (no display).
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "fixture.h"
#include "nginx.h"

using namespace std::chrono_literals;

namespace {

class DownloadRoad : public InstallerTest {};

const std::vector<std::string> kPartial = {".download", ".download.record"};

}  // namespace

TEST_F(DownloadRoad, NginxFirstRunFillsTheCacheSecondUsesItThirdReplacesIt) {
    testsupport::ScratchDir www;
    // Big enough that a transfer cut short at its first bytes shows in the access log.
    const auto v1 = agentFiles("1");
    auto big = v1;
    big["lib/blob.bin"] = randomBytes(24 << 20);
    testsupport::makeZip(www / "agent.zip", big);
    const auto archiveSize = testsupport::readFile(www / "agent.zip").size();
    testsupport::Nginx nginx(www.path());
    const auto b = downloadBundle(nginx.url("agent.zip"));
    const std::vector<std::string> args = {"--mode", "a b", "$(touch pwned)"};
    const std::vector<std::string> expected = {"-installbundle", b.resources + "/bundle.zip", "--mode", "a b",
                                               "$(touch pwned)"};

    auto r = run(b, args, {{"AGENT_SIGNALS", dir_ / "signals"}});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(agentRuns(), 1);
    // The agent starts with none of the signals ignored that a shell would not ignore.
    const std::string sigIgn = testsupport::readFile(dir_ / "signals");
    ASSERT_TRUE(sigIgn.starts_with("SigIgn:\t")) << sigIgn;
    const auto ignored = std::stoull(sigIgn.substr(8), nullptr, 16);
    for (const int sig : {SIGPIPE, SIGXFSZ, SIGINT, SIGQUIT, SIGTERM, SIGHUP}) EXPECT_EQ(ignored >> (sig - 1) & 1, 0u) << sig;
    EXPECT_EQ(recorded(), expected);
    EXPECT_EQ(testsupport::readFile(self_), cacheDir() + "/installagent/install");
    EXPECT_EQ(testsupport::readFile(cacheDir() + "/installagent/lib/version.txt"), "1");
    const std::string tag1 = storedTag();
    EXPECT_EQ(tag1.front(), '"');  // nginx's own tag, stored as sent
    EXPECT_TRUE(cacheLeftovers().empty());
    EXPECT_TRUE(testsupport::listDir(tmp_).empty());

    r = run(b, args);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(agentRuns(), 2);
    EXPECT_EQ(recorded(), expected);
    EXPECT_EQ(storedTag(), tag1);
    // The second request was cut short: nginx sent far less than the archive.
    const std::string log = nginx.accessLog();
    const auto second = log.find('\n') + 1;
    const auto bytes = std::stoull(log.substr(log.find(' ', second) + 1));
    EXPECT_LT(bytes, archiveSize / 4) << log;

    auto v2 = agentFiles("2");
    std::this_thread::sleep_for(1100ms);  // nginx's tag carries the modification second
    testsupport::makeZip(www / "agent-new.zip", v2);
    ::rename((www / "agent-new.zip").c_str(), (www / "agent.zip").c_str());
    r = run(b, args);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(agentRuns(), 3);
    EXPECT_EQ(testsupport::readFile(cacheDir() + "/installagent/lib/version.txt"), "2");
    EXPECT_FALSE(testsupport::exists(cacheDir() + "/installagent/lib/blob.bin"));
    EXPECT_NE(storedTag(), tag1);
    EXPECT_TRUE(cacheLeftovers().empty());
    EXPECT_FALSE(testsupport::exists(dir_ / "pwned"));
}

TEST_F(DownloadRoad, ServerFaultsEndWithAClearMessageAndNoCurrentCache) {
    FaultServer server;
    const std::string agentZip = zipBytes(agentFiles());
    (*server).Get("/missing-empty", [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
    (*server).Get("/missing-body", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("<html>not here</html>", "text/html");
    });
    (*server).Get("/corrupt", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("ETag", "\"corrupt\"");
        res.set_content("PK\x03\x04" + std::string(5000, 'z'), "application/zip");
    });
    (*server).Get("/drop", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("ETag", "\"drop\"");
        res.set_content_provider(agentZip.size() + 100000, "application/zip",
                                 [&](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset > 0) return false;  // drop after the first part
                                     sink.write(agentZip.data(), agentZip.size());
                                     return true;
                                 });
    });

    struct Case {
        std::string url, windowText, logLine;
    };
    const std::vector<Case> cases = {
        {server.url("/missing-empty"), "Download failed with error code 404", "Download failed! Error code- 404"},
        {server.url("/missing-body"), "Download failed with error code 404", "Download failed with http error code- 404"},
        {server.url("/corrupt"), "Failed to unzip the installer.", "Failed to unzip the install agent"},
        {server.url("/drop"), "Error during the download process.", "Download failed! Error - "},
        {"http://127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort()) + "/agent.zip",
         "Error during the download process.", "Download failed! Error - "},
        {"", "Error during the download process.", "Download failed! Error - "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const auto r = run(downloadBundle(c.url));
        EXPECT_EQ(r.exitStatus, 255);
        EXPECT_NE(r.err.find(c.windowText), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.logLine), std::string::npos) << r.err;
        EXPECT_TRUE(r.err.ends_with("Installation failed.\n")) << r.err;
        EXPECT_FALSE(testsupport::exists(runs_));
        EXPECT_FALSE(cachedAgent());
        EXPECT_FALSE(testsupport::exists(cacheDir() + "/.validatestring"));
        // A connection lost in the body leaves its archive to be resumed.
        const bool resumable = c.url.ends_with("/drop");
        EXPECT_EQ(cacheLeftovers(), resumable ? kPartial : std::vector<std::string>{});
        EXPECT_TRUE(testsupport::listDir(tmp_).empty());
        struct stat st{};
        EXPECT_EQ(::stat((cacheDir() + "/installagent").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        testsupport::removeTree(dir_ / "apps");
    }
}

TEST_F(DownloadRoad, WithoutETagOrLengthNothingIsJudgedCurrent) {
    FaultServer server;
    const std::string agentZip = zipBytes(agentFiles("new"));
    (*server).Get("/chunked", [&](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/zip", [&](size_t, httplib::DataSink& sink) {
            sink.write(agentZip.data(), agentZip.size());
            sink.done();
            return true;
        });
    });
    // An old agent with its tag: the untagged download replaces both.
    testsupport::makeDirs(cacheDir() + "/installagent");
    testsupport::writeFile(cacheDir() + "/installagent/install", "exit 99\n");
    testsupport::writeFile(cacheDir() + "/.validatestring", "\"old\"");
    const auto b = downloadBundle("http://unused.invalid/");
    for (int i = 1; i <= 2; ++i) {
        const auto r = run(b, {"x"}, {{"QV_INTERNAL_INSTALL_AGENT_URL", server.url("/chunked")}});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(agentRuns(), i);
        EXPECT_EQ(testsupport::readFile(cacheDir() + "/installagent/lib/version.txt"), "new");
        EXPECT_FALSE(testsupport::exists(cacheDir() + "/.validatestring"));
    }
}

TEST_F(DownloadRoad, InterruptDuringASlowTransferLeavesNothingBehind) {
    FaultServer server;
    (*server).Get("/slow", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("ETag", "\"slow\"");
        res.set_content_provider(10 << 20, "application/zip", [](size_t, size_t, httplib::DataSink& sink) {
            std::this_thread::sleep_for(20ms);
            const std::string chunk(1024, 'x');
            return sink.write(chunk.data(), chunk.size());
        });
    });
    const auto b = downloadBundle(server.url("/slow"));
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        const auto start = std::chrono::steady_clock::now();
        const auto r = run(b, {}, {}, 10s, [sig](pid_t pid) {
            std::this_thread::sleep_for(700ms);
            ::kill(pid, sig);
        });
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1700ms);
        EXPECT_EQ(r.exitStatus, 255) << r.err;
        EXPECT_TRUE(r.err.ends_with("Installation failed.\n")) << r.err;
        EXPECT_TRUE(testsupport::listDir(tmp_).empty());
        EXPECT_FALSE(cachedAgent());
        EXPECT_EQ(cacheLeftovers(), kPartial);
    }
}
