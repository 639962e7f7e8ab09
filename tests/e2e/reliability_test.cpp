// Installers at the same time, and installers killed or interrupted in the middle: the
// cache is always whole or absent, and every agent that starts is complete.
#include <gtest/gtest.h>
#include <signal.h>

#include <utime.h>

#include <future>
#include <sstream>
#include <thread>

#include "fixture.h"
#include "nginx.h"

using namespace std::chrono_literals;

namespace {

// An agent that looks at its own files before and after it has run a while.
const std::string kCheckingAgent = R"SH(#!/bin/sh
d=$(dirname "$0")
v=$(cat "$d/lib/version.txt")
[ -n "${AGENT_STARTED:-}" ] && : > "$AGENT_STARTED"
sleep "${AGENT_SLEEP:-0.2}"
if [ "$(cat "$d/lib/version.txt" 2>/dev/null)" = "$v" ] && [ "$(wc -c < "$d/lib/blob.bin")" -eq "$(cat "$d/lib/blob.size")" ]
then echo "ok $v" >> "$AGENT_RUNS"; else echo "broken $v" >> "$AGENT_RUNS"; fi
)SH";

std::map<std::string, std::string> checkingAgent(const std::string& version, size_t blobSize) {
    return {{"install", kCheckingAgent},
            {"lib/version.txt", version},
            {"lib/blob.bin", randomBytes(blobSize)},
            {"lib/blob.size", std::to_string(blobSize)}};
}

// An unzip that says when it starts and then takes its time.
void installSlowUnzip(const std::string& dir) {
    testsupport::writeFile(dir + "/unzip", "#!/bin/sh\n: > \"$UNZIP_STARTED\"\nsleep 10 >/dev/null 2>&1\nexec /usr/bin/unzip \"$@\"\n",
                           0755);
}

bool waitFor(const std::string& path, std::chrono::milliseconds limit) {
    for (auto waited = 0ms; waited < limit; waited += 10ms) {
        if (testsupport::exists(path)) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

class Reliability : public InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        serve("1");
        nginx_ = std::make_unique<testsupport::Nginx>(www_.path());
        bundle_ = bundle();
        testsupport::writeFile(bundle_.resources + "/installAgentURL.txt", nginx_->url("agent.zip"));
    }

    // Puts a new agent archive in place on the server, with a tag of its own.
    void serve(const std::string& version) {
        testsupport::makeZip(www_ / "next.zip", checkingAgent(version, 3 << 20));
        struct utimbuf t{};
        t.actime = t.modtime = 1700000000 + std::stoi(version);  // nginx's tag carries the time
        ::utime((www_ / "next.zip").c_str(), &t);
        ::rename((www_ / "next.zip").c_str(), (www_ / "agent.zip").c_str());
    }

    // n installers started together; their results.
    std::vector<testsupport::ProcessResult> together(int n, const std::map<std::string, std::optional<std::string>>& env = {}) {
        std::vector<std::future<testsupport::ProcessResult>> running;
        for (int i = 0; i < n; ++i) running.push_back(std::async(std::launch::async, [&] { return run(bundle_, {}, env, 60s); }));
        std::vector<testsupport::ProcessResult> results;
        for (auto& r : running) results.push_back(r.get());
        return results;
    }

    std::vector<std::string> runLines() const {
        std::vector<std::string> lines;
        std::istringstream in(testsupport::readFile(runs_));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    std::vector<std::string> cacheEntries() const {
        auto names = testsupport::listDir(cacheDir());
        std::sort(names.begin(), names.end());
        return names;
    }

    testsupport::ScratchDir www_;
    std::unique_ptr<testsupport::Nginx> nginx_;
    testsupport::Bundle bundle_;
    const std::vector<std::string> wholeCache_ = {".agentrecord", ".download.lock", ".lock", ".validatestring",
                                                  "installagent"};
};

}  // namespace

TEST_F(Reliability, EightInstallersAtOnceOnAnEmptyACurrentAndAStaleCache) {
    for (const auto& [phase, version] : {std::pair{"empty", "1"}, {"current", "1"}, {"stale", "2"}}) {
        SCOPED_TRACE(phase);
        if (std::string(phase) == "stale") serve(version);
        ::unlink(runs_.c_str());
        for (const auto& r : together(8)) {
            EXPECT_FALSE(r.timedOut);
            EXPECT_EQ(r.exitStatus, 0) << r.err;
        }
        EXPECT_EQ(runLines(), std::vector<std::string>(8, std::string("ok ") + version));
        EXPECT_EQ(testsupport::readFile(cacheDir() + "/installagent/lib/version.txt"), version);
        EXPECT_EQ(cacheEntries(), wholeCache_);
        EXPECT_TRUE(testsupport::listDir(tmp_).empty());
    }
}

TEST_F(Reliability, ARunningAgentKeepsItsFilesWhileAnotherInstallerWaitsToReplaceThem) {
    ASSERT_EQ(run(bundle_).exitStatus, 0);
    auto first = std::async(std::launch::async, [&] {
        return run(bundle_, {}, {{"AGENT_SLEEP", "2"}, {"AGENT_STARTED", dir_ / "started"}});
    });
    ASSERT_TRUE(waitFor(dir_ / "started", 10s));
    serve("2");
    const auto second = run(bundle_);
    EXPECT_EQ(first.get().exitStatus, 0);
    EXPECT_EQ(second.exitStatus, 0) << second.err;
    EXPECT_NE(second.err.find("Waiting for another installer to finish"), std::string::npos) << second.err;
    EXPECT_EQ(runLines(), (std::vector<std::string>{"ok 1", "ok 1", "ok 2"}));
    EXPECT_EQ(cacheEntries(), wholeCache_);
}

TEST_F(Reliability, KilledAtAnyPointTheNextRunNeverStartsAHalfAgent) {
    const std::string slowPath = dir_ / "slow-bin";
    installSlowUnzip(slowPath);
    const std::map<std::string, std::optional<std::string>> slowUnzip = {
        {"PATH", slowPath + ":" + std::getenv("PATH")}, {"UNZIP_STARTED", dir_ / "unzip-started"}};

    // Killed while extracting: an abandoned staging directory, no agent.
    auto r = run(bundle_, {}, slowUnzip, 20s, [&](pid_t pid) {
        if (waitFor(dir_ / "unzip-started", 10s)) ::kill(pid, SIGKILL);
    });
    EXPECT_EQ(r.exitStatus, 128 + SIGKILL);
    EXPECT_FALSE(testsupport::exists(cacheDir() + "/installagent/install"));
    EXPECT_GT(cacheEntries().size(), 2u);  // the staging directory stayed behind

    // Killed after the agent was moved into place, before its tag was stored: a whole
    // agent without a tag, and what was left around it.
    r = run(bundle_);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    ::unlink((cacheDir() + "/.validatestring").c_str());
    testsupport::writeFile(cacheDir() + "/.installagent-old.Ab12Cd/agent/install", "exit 9\n");
    testsupport::writeFile(cacheDir() + "/.validatestring.Xy34Zw", "\"half");
    serve("2");
    r = run(bundle_);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(runLines(), (std::vector<std::string>{"ok 1", "ok 2"}));
    EXPECT_EQ(cacheEntries(), wholeCache_);
}

TEST_F(Reliability, SignalsWhileExtractingStopTheRunAndLeaveNothingBehind) {
    const std::string slowPath = dir_ / "slow-bin";
    installSlowUnzip(slowPath);
    auto shipped = bundle("shipped", "InstallAgent.zip", checkingAgent("s", 1000));
    for (const bool download : {true, false}) {
        for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(std::string(download ? "download road, signal " : "shipped road, signal ") + std::to_string(sig));
            ::unlink((dir_ / "unzip-started").c_str());
            std::chrono::steady_clock::time_point signalled;
            const auto r = run(download ? bundle_ : shipped, {},
                               {{"PATH", slowPath + ":" + std::getenv("PATH")}, {"UNZIP_STARTED", dir_ / "unzip-started"}},
                               20s, [&](pid_t pid) {
                                   if (!waitFor(dir_ / "unzip-started", 10s)) return;
                                   signalled = std::chrono::steady_clock::now();
                                   ::kill(pid, sig);
                               });
            EXPECT_LT(std::chrono::steady_clock::now() - signalled, 1500ms);
            EXPECT_EQ(r.exitStatus, 255) << r.err;
            EXPECT_TRUE(r.err.ends_with("Installation failed.\n")) << r.err;
            EXPECT_FALSE(testsupport::exists(runs_));
            EXPECT_TRUE(testsupport::listDir(tmp_).empty());
            if (download) {
                // The whole archive stays for the next run; no agent is current.
                EXPECT_EQ(cacheEntries(), (std::vector<std::string>{".download", ".download.lock", ".download.record",
                                                                    ".lock", "installagent"}));
            }
        }
    }
}

TEST_F(Reliability, ASwapStoppedAtTheRenameNeverLeavesTheOldAgentBesideTheNewTag) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    for (const std::string action : {"kill", "fail"}) {
        SCOPED_TRACE(action);
        serve("1");
        ASSERT_EQ(run(bundle_).exitStatus, 0);
        serve("2");
        // Stopped where the new agent takes the old one's place.
        const auto r = run(bundle_, {}, {{"LD_PRELOAD", BI_RENAME_FAULT}, {"BI_FAULT_RENAME", "/.installagent."},
                                          {"BI_FAULT_ACTION", action},
                                          {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}});
        EXPECT_EQ(r.exitStatus, action == "kill" ? 128 + SIGKILL : 255) << r.err;
        const auto ran = runLines().size();
        EXPECT_EQ(run(bundle_).exitStatus, 0);
        EXPECT_EQ(runLines().size(), ran + 1);
        EXPECT_EQ(runLines().back(), "ok 2");
    }
}
