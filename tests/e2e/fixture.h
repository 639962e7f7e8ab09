// The one fixture of the end-to-end tests: the built installer run as a process in a scratch
// directory of the test's own, which is also its working directory, with HOME and TMPDIR
// inside it, the recording agent writing what it received there, and no display.
#pragma once

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "scripted_server.h"
#include "support.h"

namespace bi {

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

// A server that answers every request with `archive` tagged `tag` (304, 206, 416 as asked),
// after `pace` before each 64 KiB of the body.
inline testsupport::ScriptedServer::Handler archiveServer(const std::string& archive, const std::string& tag = "\"t\"",
                                                          std::chrono::milliseconds pace = {}) {
    return [=](const testsupport::ScriptedRequest& q, int) {
        auto reply = testsupport::serveArchive(q, archive, tag);
        reply.pace = pace;
        return reply;
    };
}

// Polls done() until it holds; false after `limit`, which only a failing test reaches.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    for (auto waited = std::chrono::milliseconds(0); waited < limit; waited += std::chrono::milliseconds(10)) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// `text` with each `key` ("$S" unless given) replaced by `value` (a server's URL without its path, say).
inline std::string expand(std::string text, const std::string& value, const std::string& key = "$S") {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size())) {
        text.replace(at, key.size(), value);
    }
    return text;
}

// What nginx's server block needs to serve over HTTPS on `port` too, with a certificate for
// 127.0.0.1 that it makes in dir (dir/cert.pem).
inline std::string httpsOn(int port, const std::string& dir) {
    testsupport::makeCertificate(dir);
    return "listen 127.0.0.1:" + std::to_string(port) + " ssl; ssl_certificate " + dir +
           "/cert.pem; ssl_certificate_key " + dir + "/key.pem;";
}

// Runs the program under a file size limit of 1 MB, as on a full disk.
inline const std::vector<std::string> kDiskFull = {"/bin/sh", "-c", "trap '' XFSZ; exec \"$0\" \"$@\"",
                                                   "/usr/bin/prlimit", "--fsize=1000000"};

// A tmpfs of `kib` KiB mounted at `at` for as long as the object lives, where mounting is
// allowed (as root); mounted() says whether it is.
class Tmpfs {
public:
    Tmpfs(std::string at, int kib) : at_(std::move(at)) {
        testsupport::makeDirs(at_);
        mounted_ = ::mount("tmpfs", at_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                           ("size=" + std::to_string(kib) + "k,mode=0755").c_str()) == 0;
    }
    ~Tmpfs() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;
    bool mounted() const { return mounted_; }

private:
    std::string at_;
    bool mounted_ = false;
};

class InstallerTest : public ::testing::Test {
public:
    using Env = std::map<std::string, std::optional<std::string>>;

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

    // A bundle whose URL file names url, with no shipped archive.
    testsupport::Bundle downloadBundle(const std::string& url, const std::string& parent = "apps") {
        auto b = bundle(parent);
        testsupport::writeFile(b.resources + "/installAgentURL.txt", url + "\n");
        return b;
    }

    static std::map<std::string, std::string> agentFiles(const std::string& version = "1") {
        return {{"install", testsupport::recordingAgentScript()}, {"lib/version.txt", version}};
    }
    // The agent's archive with `blob` random bytes besides, weight that no archiver shrinks.
    static std::string heavyArchive(const std::string& version, size_t blob) {
        auto files = agentFiles(version);
        files["lib/blob.bin"] = randomBytes(blob);
        return zipBytes(files);
    }

    // The agent's archive, encrypted: unzip would ask for its password on a terminal.
    static std::string encryptedArchive() {
        testsupport::ScratchDir d;
        testsupport::writeFile(d / "install", testsupport::recordingAgentScript(), 0755);
        testsupport::runProcess({"/usr/bin/zip", "-q", "-j", "-P", "secret", d / "enc.zip", d / "install"});
        return testsupport::readFile(d / "enc.zip");
    }
    // A self-extracting archive: a program (here a stub) before the zip, whose offsets `zip -A`
    // adjusted, as unzip takes it.
    static std::string selfExtracting(const std::string& zip) {
        testsupport::ScratchDir d;
        testsupport::writeFile(d / "sfx.zip", "#!/bin/sh\necho a stub that would unpack what follows\nexit 0\n" + zip);
        testsupport::runProcess({"/usr/bin/zip", "-q", "-A", d / "sfx.zip"});
        return testsupport::readFile(d / "sfx.zip");
    }
    // A small archive, large once extracted.
    static std::string bombArchive() {
        auto files = agentFiles();
        files["lib/zeros.bin"] = std::string(3 << 20, '\0');
        return zipBytes(files);
    }

    testsupport::ProcessResult run(const testsupport::Bundle& b, std::vector<std::string> args = {},
                                   const Env& env = {},
                                   std::chrono::milliseconds timeout = std::chrono::milliseconds(60000),
                                   std::function<void(pid_t)> onStart = {}) {
        args.insert(args.begin(), b.executable);
        // As an ordinary user, who owns the test's directory: the suite runs as root, whom no
        // permission stops.
        if (unprivileged_) {
            testsupport::runProcess({"/bin/chown", "-hR", "65534:65534", dir_.path()});
            args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        }
        args.insert(args.begin(), wrapper_.begin(), wrapper_.end());
        testsupport::ProcessOptions options;
        options.timeout = timeout;
        options.onStart = std::move(onStart);
        options.terminal = terminal_;
        options.cwd = cwd_;
        // Retries wait a hundredth of their time: a test sees every attempt, not the waits.
        // clang-format off
        options.env = {{"TMPDIR", tmp_}, {"HOME", home_}, {"AGENT_RECORD", record_}, {"AGENT_SELF", self_}, {"AGENT_RUNS", runs_},
                       {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"QV_INTERNAL_INSTALL_AGENT_URL", std::nullopt},
                       {"__QV_BOOTSTRAP_INSTALLER_UNITTEST__", std::nullopt}, {"BI_RETRY_WAIT", "0.01"}, {"LANGUAGE", std::nullopt},
                       {"LC_ALL", std::nullopt}, {"LANG", "C.UTF-8"}, {"XDG_STATE_HOME", std::nullopt}};
        // clang-format on
        for (const auto& [k, v] : env) options.env[k] = v;
        return testsupport::runProcess(args, options);
    }

    // Runs the installer in a mount namespace of its own whose /tmp is `fake`, in which this
    // test's directory still shows at its own path. Needs root and mount namespaces.
    Env privateTmp(const std::string& fake) {
        const std::string self = std::filesystem::path(dir_.path()).filename();
        testsupport::makeDirs(fake + "/" + self);
        const std::string mount =
            "mount --make-rprivate / && mount --bind \"$D\" \"$F/$B\" && mount --rbind \"$F\" /tmp && exec \"$@\"";
        wrapper_ = {"/usr/bin/unshare", "-m", "/bin/sh", "-c", mount, "sh"};
        return {{"D", dir_.path()}, {"F", fake}, {"B", self}};
    }
    static bool canUnshare() {
        return ::geteuid() == 0 && testsupport::runProcess({"/usr/bin/unshare", "-m", "/bin/true"}).exitStatus == 0;
    }

    // An archive whose `install` is a symbolic link to /bin/sh.
    static std::string linkArchive() {
        testsupport::ScratchDir d;
        ::symlink("/bin/sh", (d / "install").c_str());
        testsupport::runProcess({"/usr/bin/zip", "-q", "-y", d / "a.zip", "install"}, {.cwd = d.path()});
        return testsupport::readFile(d / "a.zip");
    }

    // An unzip first on PATH that marks dir_/unzip-started and then waits as long as the
    // installer lives, extracting nothing: a run that ends while it waits has ended it.
    Env slowUnzip() {
        testsupport::writeFile(dir_ / "slow/unzip",
                               "#!/bin/sh\n: > \"$UNZIP_STARTED\"\n"
                               "while kill -0 $PPID 2>/dev/null; do sleep 0.1; done\nexit 1\n",
                               0755);
        return {{"PATH", dir_ / "slow:" + std::getenv("PATH")}, {"UNZIP_STARTED", dir_ / "unzip-started"}};
    }

    // What every failed run leaves: its texts on standard error, "Installation failed." last,
    // no agent run, no current agent, nothing in the cache but what a later run may resume,
    // nothing in TMPDIR.
    void expectFailed(const testsupport::ProcessResult& r, const std::vector<std::string>& texts,
                      const std::vector<std::string>& resumable = {}) {
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitStatus, 255) << r.err;
        for (const auto& text : texts) EXPECT_NE(r.err.find(text), std::string::npos) << text << "\n" << r.err;
        EXPECT_TRUE(r.err.ends_with("Installation failed.\n")) << r.err;
        EXPECT_EQ(agentRuns(), 0);
        EXPECT_FALSE(testsupport::exists(cacheDir() + "/.validatestring"));
        EXPECT_EQ(cacheLeftovers(), resumable);
        EXPECT_EQ(testsupport::listDir(tmp_), std::vector<std::string>{});
    }

    // minisign's key pair `key`, made in dir_/keys when first asked for: its public key file.
    std::string publicKey(const std::string& key = "a") {
        const std::string pub = dir_ / ("keys/" + key + ".pub");
        if (!testsupport::exists(pub)) {
            testsupport::makeDirs(dir_ / "keys");
            const auto r = testsupport::runProcess(
                {"/usr/bin/minisign", "-G", "-W", "-p", pub, "-s", dir_ / ("keys/" + key + ".key")});
            EXPECT_EQ(r.exitStatus, 0) << r.err;
        }
        return pub;
    }
    // minisign -S of file with key `key`, and any further options (-l, -t ...): file.minisig.
    void sign(const std::string& file, const std::string& key = "a", std::vector<std::string> more = {}) {
        publicKey(key);
        std::vector<std::string> argv = {"/usr/bin/minisign", "-S", "-s", dir_ / ("keys/" + key + ".key"), "-m", file};
        argv.insert(argv.end(), more.begin(), more.end());
        const auto r = testsupport::runProcess(argv);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
    }

    bool cachedAgent() const { return testsupport::exists(cacheDir() + "/installagent/install"); }
    std::string storedTag() const { return testsupport::readFile(cacheDir() + "/.validatestring"); }
    std::string version() const { return testsupport::readFile(cacheDir() + "/installagent/lib/version.txt"); }
    // Names in the cache besides the agent directory, its tag and record and the lock files.
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
    // A partial archive and its record, as a run leaves them for the next to resume.
    static std::vector<std::string> partialArchive() { return {".download", ".download.record"}; }

    std::vector<std::string> recorded() const { return testsupport::splitRecord(testsupport::readFile(record_)); }
    // The lines the agents wrote into $AGENT_RUNS, one per run.
    std::vector<std::string> runLines() const {
        std::vector<std::string> lines;
        std::istringstream in(testsupport::readFile(runs_));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    int agentRuns() const { return static_cast<int>(runLines().size()); }
    std::string cacheDir() const { return home_ + "/.tolvar/app_installer_cache/V0917k/xarc64"; }
    std::string logDir() const { return home_ + "/.local/state/bootstrap-installer"; }

    // Set by a test before run(): a program and arguments that run the installer, its
    // standard input on a terminal, its working directory.
    std::vector<std::string> wrapper_;
    bool terminal_ = false;
    bool unprivileged_ = false;  // run as the user 65534 (after wrapper_)
    static constexpr uid_t kNobody = 65534;

    testsupport::ScratchDir dir_;
    std::string cwd_ = dir_.path();
    std::string tmp_ = dir_ / "tmp";
    std::string home_ = dir_ / "home";
    std::string record_ = dir_ / "record";
    std::string self_ = dir_ / "self";
    std::string runs_ = dir_ / "runs";
};

}  // namespace bi
