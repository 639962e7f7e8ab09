// The per-user cache: trusted only when nobody else can change it, and always whole or absent
// for installers started together, killed or interrupted in the middle.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <future>
#include <tuple>

#include "fixture.h"
#include "nginx.h"

namespace bi {

using namespace std::chrono_literals;

namespace {

// An agent that looks at its own files before and after it has run a while.
const std::string kCheckingAgent = R"SH(#!/bin/sh
d=$(dirname "$0")
v=$(cat "$d/lib/version.txt")
[ -n "${AGENT_STARTED:-}" ] && : > "$AGENT_STARTED"
sleep "${AGENT_SLEEP:-0}"
if [ "$(cat "$d/lib/version.txt" 2>/dev/null)" = "$v" ] && [ "$(wc -c < "$d/lib/blob.bin")" -eq "$(cat "$d/lib/blob.size")" ]
then echo "ok $v" >> "$AGENT_RUNS"; else echo "broken $v" >> "$AGENT_RUNS"; fi
)SH";

class Cache : public InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        serve("1");
        nginx_ = std::make_unique<testsupport::Nginx>(www_.path());
        bundle_ = downloadBundle(nginx_->url("agent.zip"));
    }

    // A new agent archive on the server, with a tag of its own (nginx's carries the time and
    // the size: an archive served as `name` with the same `stamp` has the same tag).
    void serve(const std::string& version, const std::string& name = "agent.zip", const std::string& stamp = "") {
        const size_t blob = 256 << 10;
        testsupport::makeZip(www_ / "next.zip", {{"install", kCheckingAgent},
                                                 {"lib/version.txt", version},
                                                 {"lib/blob.bin", randomBytes(blob)},
                                                 {"lib/blob.size", std::to_string(blob)}});
        struct utimbuf t {};
        t.actime = t.modtime = 1700000000 + std::stoi(stamp.empty() ? version : stamp);
        ::utime((www_ / "next.zip").c_str(), &t);
        ::rename((www_ / "next.zip").c_str(), (www_ / name).c_str());
    }

    testsupport::ScratchDir www_;
    std::unique_ptr<testsupport::Nginx> nginx_;
    testsupport::Bundle bundle_;
};

}  // namespace

struct SpoiledRow {
    std::string name, dir;  // under HOME
    std::function<bool(const std::string&)> spoil;
    bool cached = true;      // a current agent in the cache before it is spoiled
    std::string shown = "";  // the directory the refusal names, under the test's directory; "" for dir
};

class SpoiledCache : public Cache, public ::testing::WithParamInterface<SpoiledRow> {};

// Refused before a byte is asked for or a directory made, in the cache or wherever a link leads.
TEST_P(SpoiledCache, IsNeverTrustedAndNothingIsMadeInIt) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give directories away";
    const SpoiledRow& row = GetParam();
    const std::string dir = home_ + row.dir;
    if (row.cached) {
        ASSERT_EQ(run(bundle_).exitStatus, 0);  // a current agent, which a trusting run would start
    }
    const auto requests = nginx_->sent("GET").second;
    ASSERT_TRUE(row.spoil(dir));
    // The log file for support aside, which goes to a place of its own.
    const auto tree = [&] {
        return testsupport::runProcess({"/bin/sh", "-c", "find \"$0\" -path \"$1\" -prune -o -print | sort",
                                        dir_.path(), home_ + "/.local"})
            .out;
    };
    const std::string before = tree();
    const auto r = run(bundle_);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_NE(r.err.find("The installer cache cannot be trusted: " + (row.shown.empty() ? dir : dir_ / row.shown) +
                         " is not a directory"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(agentRuns(), row.cached ? 1 : 0);
    EXPECT_EQ(nginx_->sent("GET").second, requests);
    EXPECT_EQ(tree(), before);  // nothing made, here or where a link leads
}

namespace {

bool giveAway(const std::string& p) { return ::chown(p.c_str(), InstallerTest::kNobody, InstallerTest::kNobody) == 0; }
template <mode_t m>
bool setMode(const std::string& p) {
    return ::chmod(p.c_str(), m) == 0;
}
bool aFile(const std::string& p) {
    testsupport::removeTree(p);
    testsupport::writeFile(p, "");
    return true;
}
// A directory of another user's on the way, empty: the cache would be made in it.
bool anothersEmpty(const std::string& p) {
    testsupport::makeDirs(p);
    return giveAway(p);
}
// A link where a directory of the cache belongs, to an empty directory of the user's.
bool aLink(const std::string& p) {
    const auto to = std::filesystem::path(p).parent_path() / "elsewhere";
    testsupport::makeDirs(to);
    return ::symlink(to.c_str(), p.c_str()) == 0;
}
// HOME a link into another user's home.
bool intoAnothersHome(const std::string& p) {
    const std::string to = std::filesystem::path(p).parent_path() / "others";
    testsupport::removeTree(p);
    return anothersEmpty(to) && ::symlink(to.c_str(), p.c_str()) == 0;
}
const std::string kCache = "/.tolvar/app_installer_cache/V0917k/xarc64";

}  // namespace

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, SpoiledCache, ::testing::Values(
    SpoiledRow{"owned by another", kCache, giveAway},
    SpoiledRow{"agent writable by all", kCache + "/installagent", setMode<0777>},
    SpoiledRow{"top writable by the group", "/.tolvar", setMode<0720>},
    SpoiledRow{"writable by others", "/.tolvar/app_installer_cache", setMode<0757>},
    SpoiledRow{"a file for a level", "/.tolvar/app_installer_cache/V0917k", aFile},
    SpoiledRow{"home owned by another", "", giveAway},
    SpoiledRow{"home writable by its group", "", setMode<0775>, false},
    SpoiledRow{"another's empty directory on the way", "/.tolvar", anothersEmpty, false},
    SpoiledRow{"a link planted for the first directory", "/.tolvar", aLink, false},
    SpoiledRow{"a link planted deeper", "/.tolvar/app_installer_cache", aLink, false},
    SpoiledRow{"home a link into another's home", "", intoAnothersHome, false, "others"}), RowName());
// clang-format on

// Without HOME the cache lies under /tmp, where anyone may have made its first directory. The
// installer runs in a mount namespace of its own with a private /tmp.
TEST_F(Cache, WithoutHomeTheCacheUnderTmpIsUsedOnlyWhenItIsTheUsers) {
    if (!canUnshare()) GTEST_SKIP() << "needs root and mount namespaces";
    const std::string fake = dir_ / "private-tmp";
    Env env = privateTmp(fake);
    env["HOME"] = std::nullopt;

    auto r = run(bundle_, {"x"}, env);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(runLines(), std::vector<std::string>{"ok 1"});
    EXPECT_TRUE(testsupport::exists(fake + "/.tolvar/app_installer_cache/V0917k/xarc64/installagent/install"));
    struct stat st {};
    ASSERT_EQ(::stat((fake + "/.tolvar").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Someone else's /tmp/.tolvar, with a current agent in it, then empty: nothing is made in it.
    ASSERT_EQ(::chown((fake + "/.tolvar").c_str(), kNobody, kNobody), 0);
    for (const bool empty : {false, true}) {
        if (empty) testsupport::removeTree(fake + "/.tolvar/app_installer_cache");
        r = run(bundle_, {"x"}, env);
        EXPECT_EQ(r.exitStatus, 255) << r.err;
        EXPECT_NE(r.err.find("The installer cache cannot be trusted: /tmp/.tolvar is not a directory"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(runLines().size(), 1u);
    }
    EXPECT_EQ(testsupport::listDir(fake + "/.tolvar"), std::vector<std::string>{});
}

// Whether the running agent filled the cache itself or found it current, it keeps the cache's
// shared lock: another installer that must replace it waits until it has ended.
TEST_F(Cache, ARunningAgentKeepsItsFilesWhileAnotherInstallerWaitsToReplaceThem) {
    for (const std::string v : {"2", "3"}) {  // 1 filled by the running one, then 2 found current by it
        SCOPED_TRACE(v);
        ::unlink((dir_ / "started").c_str());
        auto first = std::async(std::launch::async, [&] {
            return run(bundle_, {}, {{"AGENT_SLEEP", "1"}, {"AGENT_STARTED", dir_ / "started"}});
        });
        ASSERT_TRUE(waitUntil([&] { return testsupport::exists(dir_ / "started"); }));
        serve(v);
        const auto second = run(bundle_);
        EXPECT_EQ(first.get().exitStatus, 0);
        EXPECT_EQ(second.exitStatus, 0) << second.err;
        EXPECT_NE(second.err.find("Waiting for another installer to finish"), std::string::npos) << second.err;
    }
    EXPECT_EQ(runLines(), (std::vector<std::string>{"ok 1", "ok 2", "ok 2", "ok 3"}));
}

TEST_F(Cache, KilledOrStoppedAtAnyPointTheNextRunNeverStartsAHalfAgent) {
    // A signal while extracting stops the run, unzip's endless wait included, and keeps the
    // whole archive for the next.
    auto r = run(bundle_, {}, slowUnzip(), 20s, [&](pid_t pid) {
        if (waitUntil([&] { return testsupport::exists(dir_ / "unzip-started"); })) ::kill(pid, SIGHUP);
    });
    expectFailed(r, {"The installation was cancelled.\nInstallation failed.\n"}, partialArchive());
    const auto sent = nginx_->sent("GET /agent.zip").first;
    // Killed while extracting: an abandoned staging directory and an empty working directory.
    ::unlink((dir_ / "unzip-started").c_str());
    r = run(bundle_, {}, slowUnzip(), 20s, [&](pid_t pid) {
        if (waitUntil([&] { return testsupport::exists(dir_ / "unzip-started"); })) ::kill(pid, SIGKILL);
    });
    EXPECT_EQ(r.exitStatus, 128 + SIGKILL);
    EXPECT_FALSE(cachedAgent());
    EXPECT_EQ(testsupport::listDir(tmp_).size(), 1u);
    testsupport::makeDirs(tmp_ + "/qvKeepMe");  // not the installer's: never removed
    testsupport::writeFile(tmp_ + "/qvKeepMe/file", "");
    // Killed before its lock was in place, long ago; and a run that is just locking its own.
    testsupport::writeFile(tmp_ + "/qvHalfLk/.qvlock.Ab12Cd", "");
    testsupport::makeDirs(tmp_ + "/qvNoLock"), testsupport::makeDirs(tmp_ + "/qvYoung0");
    const utimbuf longAgo{::time(nullptr) - 120, ::time(nullptr) - 120};
    ::utime((tmp_ + "/qvHalfLk").c_str(), &longAgo), ::utime((tmp_ + "/qvNoLock").c_str(), &longAgo);

    // The whole archive is only revalidated, then extracted. Then what a run killed after its
    // agent moved into place, before its tag was stored, leaves: a whole agent without a tag.
    ASSERT_EQ(run(bundle_).exitStatus, 0);
    EXPECT_EQ(nginx_->sent("GET /agent.zip").first, sent);
    auto left = testsupport::listDir(tmp_);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"qvKeepMe", "qvYoung0"}));
    ::unlink((cacheDir() + "/.validatestring").c_str());
    testsupport::writeFile(cacheDir() + "/.installagent-old.Ab12Cd/agent/install", "exit 9\n");
    testsupport::writeFile(cacheDir() + "/.validatestring.Xy34Zw", "\"half");
    serve("2");
    ASSERT_EQ(run(bundle_).exitStatus, 0);
    EXPECT_EQ(runLines(), (std::vector<std::string>{"ok 1", "ok 2"}));
    EXPECT_EQ(cacheLeftovers(), std::vector<std::string>{});

    // Stopped at each step where the new agent takes the old one's place: killed as the old
    // agent moves aside (a signed bundle keeps a stale agent until a verified one replaces it),
    // failing as the new one moves in, killed as its record or its tag is stored. As root,
    // permissions cannot make a rename fail; a preloaded library can. The next run, of this
    // product or of another whose archive has the same tag, must start the agent its server
    // has now, never one beside another's record or tag.
    testsupport::writeFile(bundle_.resources + "/installAgentKey.pub", testsupport::readFile(publicKey()));
    const auto other = downloadBundle(nginx_->url("other.zip"), "other");
    const char* asan = std::getenv("ASAN_OPTIONS");
    const auto fault = [&](const std::string& at, const std::string& action) {
        return Env{{"LD_PRELOAD", BI_RENAME_FAULT},
                   {"BI_FAULT_RENAME", at},
                   {"BI_FAULT_ACTION", action},
                   {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
    };
    for (const auto& [action, at, v] : {std::tuple{"kill", "/installagent", "3"},
                                        {"fail", "/.installagent.", "4"},
                                        {"kill", "/.agentrecord.", "5"},
                                        {"kill", "/.validatestring.", "6"}}) {
        SCOPED_TRACE(at);
        serve(v);
        serve("o", "other.zip", v);
        sign(www_ / "agent.zip");
        r = run(bundle_, {}, fault(at, action));
        EXPECT_EQ(r.exitStatus, std::string(action) == "kill" ? 128 + SIGKILL : 255) << r.err;
        EXPECT_FALSE(testsupport::exists(cacheDir() + "/.validatestring"));  // the tag, which others read, comes last
        std::vector<std::pair<const testsupport::Bundle*, std::string>> next = {{&bundle_, v}, {&other, "o"}};
        if (std::string(v) == "5") std::swap(next[0], next[1]);  // the other product first
        for (const auto& [b, version] : next) {
            ASSERT_EQ(run(*b).exitStatus, 0);
            EXPECT_EQ(runLines().back(), "ok " + version);
        }
    }
    // Killed as another signed product's agent moves in (a signed bundle keeps the stale agent
    // until then): this product's record and tag, current a moment before, must not vouch for it.
    ASSERT_EQ(run(bundle_).exitStatus, 0);
    serve("p", "other.zip", "7");
    sign(www_ / "other.zip");
    const auto otherSigned = downloadBundle(nginx_->url("other.zip"), "other-signed");
    testsupport::writeFile(otherSigned.resources + "/installAgentKey.pub", testsupport::readFile(publicKey()));
    r = run(otherSigned, {}, fault("/.agentrecord.", "kill"));
    EXPECT_EQ(r.exitStatus, 128 + SIGKILL) << r.err;
    ASSERT_EQ(run(bundle_).exitStatus, 0);
    EXPECT_EQ(runLines().back(), "ok 6");
}

}  // namespace bi
