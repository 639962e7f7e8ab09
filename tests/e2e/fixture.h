// Runs the built installer as a process in a directory of the test's own: HOME and TMPDIR
// point into it, the recording agent writes what it received there, and no display is set.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstring>
#include <map>
#include <random>
#include <set>
#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http_server.h"
#include "support.h"

// Bytes that no archiver can shrink.
inline std::string randomBytes(size_t n) {
    std::mt19937_64 rng(42);
    std::string s(n, '\0');
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const uint64_t v = rng();
        std::memcpy(&s[i], &v, 8);
    }
    return s;
}

// The bytes of a zip archive of files (name -> content), made with the real zip tool.
inline std::string zipBytes(const std::map<std::string, std::string>& files) {
    testsupport::ScratchDir d;
    testsupport::makeZip(d / "a.zip", files);
    return testsupport::readFile(d / "a.zip");
}

using FaultServer = testsupport::HttpServer;

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::makeDirs(tmp_);
        testsupport::makeDirs(home_);
    }

    // A bundle under dir_/<parent>; with `archive` set, it ships the recording agent under that name.
    testsupport::Bundle bundle(const std::string& parent = "apps", const std::string& archive = "",
                               std::map<std::string, std::string> agent = {}) {
        auto b = testsupport::makeBundle(BI_INSTALLER, dir_ / parent);
        if (!archive.empty()) testsupport::makeZip(b.resources + "/" + archive, agent.empty() ? agentFiles() : agent);
        return b;
    }

    static std::map<std::string, std::string> agentFiles(const std::string& version = "1") {
        return {{"install", testsupport::recordingAgentScript()}, {"lib/version.txt", version}};
    }

    testsupport::ProcessResult run(const testsupport::Bundle& b, std::vector<std::string> args = {},
                                   const std::map<std::string, std::optional<std::string>>& env = {},
                                   std::chrono::milliseconds timeout = std::chrono::milliseconds(60000),
                                   std::function<void(pid_t)> onStart = {}) {
        args.insert(args.begin(), b.executable);
        args.insert(args.begin(), wrapper_.begin(), wrapper_.end());
        testsupport::ProcessOptions options;
        options.timeout = timeout;
        options.onStart = std::move(onStart);
        options.terminal = terminal_;
        options.cwd = cwd_;
        options.env = {{"TMPDIR", tmp_},         {"HOME", home_},
                       {"AGENT_RECORD", record_}, {"AGENT_SELF", self_},
                       {"AGENT_RUNS", runs_},     {"DISPLAY", std::nullopt},
                       {"WAYLAND_DISPLAY", std::nullopt}, {"QV_INTERNAL_INSTALL_AGENT_URL", std::nullopt},
                       {"__QV_BOOTSTRAP_INSTALLER_UNITTEST__", std::nullopt}, {"BI_RETRY_WAIT", "0.01"}};
        for (const auto& [k, v] : env) options.env[k] = v;
        return testsupport::runProcess(args, options);
    }

    // A bundle whose URL file names url, with no shipped archive.
    testsupport::Bundle downloadBundle(const std::string& url, const std::string& parent = "apps") {
        auto b = bundle(parent);
        testsupport::writeFile(b.resources + "/installAgentURL.txt", url + "\n");
        return b;
    }
    bool cachedAgent() const { return testsupport::exists(cacheDir() + "/installagent/install"); }
    std::string storedTag() const { return testsupport::readFile(cacheDir() + "/.validatestring"); }
    // Nothing but the agent directory, its tag and record and the lock files may stay in the cache.
    std::vector<std::string> cacheLeftovers() const {
        static const std::set<std::string> kept = {"installagent", ".validatestring", ".agentrecord", ".lock",
                                                   ".download.lock"};
        std::vector<std::string> extra;
        for (const auto& name : testsupport::listDir(cacheDir())) {
            if (!kept.contains(name)) extra.push_back(name);
        }
        std::sort(extra.begin(), extra.end());
        return extra;
    }

    std::vector<std::string> recorded() const { return testsupport::splitRecord(testsupport::readFile(record_)); }
    int agentRuns() const {
        const std::string runs = testsupport::readFile(runs_);
        return static_cast<int>(std::count(runs.begin(), runs.end(), '\n'));
    }
    std::string cacheDir() const { return home_ + "/.tolvar/app_installer_cache/V0917k/xarc64"; }

    // Set by a test before run(): a program and arguments that run the installer, its
    // standard input on a terminal, its working directory.
    std::vector<std::string> wrapper_;
    bool terminal_ = false;
    std::string cwd_;

    testsupport::ScratchDir dir_;
    std::string tmp_ = dir_ / "tmp";
    std::string home_ = dir_ / "home";
    std::string record_ = dir_ / "record";
    std::string self_ = dir_ / "self";
    std::string runs_ = dir_ / "runs";
};
