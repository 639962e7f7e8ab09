#include "agent/cache_fill.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "agent/cache.h"
#include "agent/cache_lock.h"
#include "agent/extract.h"
#include "host/constants.h"
#include "host/temp_dir.h"

namespace {

constexpr auto kLockPoll = std::chrono::milliseconds(50);
const std::string kStagingPrefix = ".installagent.";
const std::string kOldPrefix = ".installagent-old.";
const std::string kTagTempPrefix = VALIDATION_STRING_FILE + ".";

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string agentDirectory() { return getInstallAgentCacheDir() + INSTALL_AGENT_DIR_NAME; }
std::string tagFile() { return getInstallAgentCacheDir() + VALIDATION_STRING_FILE; }

bool isCurrent(const std::optional<std::string>& tag) {
    return tag && !installAgentDirOnDisk().empty() && isCacheValid(getInstallAgentCacheDir(), *tag);
}

// Writes the tag beside the agent through a temporary file, so a reader sees all or nothing.
bool storeTag(const std::string& tag) {
    std::string tmpl = getInstallAgentCacheDir() + kTagTempPrefix + "XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return false;
    bool ok = ::write(fd, tag.data(), tag.size()) == static_cast<ssize_t>(tag.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmpl.c_str(), tagFile().c_str()) == 0;
    if (!ok) ::unlink(tmpl.c_str());
    return ok;
}

std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* listing = ::opendir(dir.c_str())) {
        while (const dirent* entry = ::readdir(listing)) names.emplace_back(entry->d_name);
        ::closedir(listing);
    }
    return names;
}

// Under the exclusive lock: what crashed installers left (staging directories whose maker is
// gone, agents moved aside, tag files half written).
void removeAbandoned() {
    const std::string cacheDir = getInstallAgentCacheDir();
    for (const std::string& name : entriesOf(cacheDir)) {
        const std::string path = cacheDir + name;
        if (name.starts_with(kTagTempPrefix)) {
            ::unlink(path.c_str());
        } else if ((name.starts_with(kStagingPrefix) || name.starts_with(kOldPrefix)) &&
                   DirectoryLock::abandoned(path)) {
            removeTree(path);
        }
    }
}

// Drops the cached agent: first its tag, then its directory.
void removeCachedAgent() {
    ::unlink(tagFile().c_str());
    removeTree(agentDirectory());
}

// Under the exclusive lock: the staged agent takes the agent directory's place.
CacheFill swapIn(const std::string& staging, const std::optional<std::string>& tag) {
    const std::string agentDir = agentDirectory();
    // The old tag goes first: from here until the new tag is stored, no agent is current.
    ::unlink(tagFile().c_str());
    // The old agent moves aside in one step, so the agent directory is always whole or absent.
    std::string old = getInstallAgentCacheDir() + kOldPrefix + "XXXXXX";
    const bool hadOld = ::access(agentDir.c_str(), F_OK) == 0;
    if (hadOld && ::mkdtemp(old.data()) == nullptr) return CacheFill::CacheNotWritable;
    const bool placed = (!hadOld || ::rename(agentDir.c_str(), (old + "/agent").c_str()) == 0) &&
                        ::rename(staging.c_str(), agentDir.c_str()) == 0;
    if (hadOld) removeTree(old);
    if (!placed) return CacheFill::CacheNotWritable;
    // Without a stored tag the agent is still whole; a later run just fetches it again.
    if (tag) storeTag(*tag);
    return CacheFill::Filled;
}

// Polls until `attempt` gives a result, telling `wait` once that it waits.
template <typename Result>
std::optional<Result> pollLock(const CacheWait& wait, const std::function<std::optional<Result>()>& attempt) {
    for (bool announced = false;; std::this_thread::sleep_for(kLockPoll)) {
        if (auto result = attempt()) return result;
        if (wait.giveUp && wait.giveUp()) return std::nullopt;
        if (!announced && wait.waiting) wait.waiting();
        announced = true;
    }
}

}  // namespace

bool isCacheTrusted(std::string* why) {
    const std::string cacheDir = getInstallAgentCacheDir();
    const std::string agentDir = agentDirectory();
    const std::string base = withoutTrailingSlash(cacheDir.substr(0, cacheDir.size() - INSTALL_AGENT_CACHE_PATH.size()));
    const uid_t me = ::geteuid();

    struct stat st{};
    if (::stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || (st.st_uid != me && st.st_uid != 0) ||
        ((st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_ISVTX) == 0)) {
        *why = base + " is not a directory that only its owner can change";
        return false;
    }
    // Every level from the first one below the base down to the agent directory.
    for (size_t pos = base.size() + 1; pos <= agentDir.size(); ++pos) {
        if (pos != agentDir.size() && agentDir[pos] != '/') continue;
        const std::string dir = agentDir.substr(0, pos);
        if (::lstat(dir.c_str(), &st) != 0) {
            // Another installer may just have dropped a stale agent; the fill makes a new one.
            if (dir == agentDir && errno == ENOENT) continue;
            *why = dir + " is missing";
            return false;
        }
        if (!S_ISDIR(st.st_mode) || st.st_uid != me || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            *why = dir + " is not a directory of this user's that only this user can change";
            return false;
        }
    }
    return true;
}

CacheJudgement judgeCache(const std::optional<std::string>& tag, const CacheWait& wait) {
    CacheLock& lock = CacheLock::process();
    const auto judged = pollLock<CacheJudgement>(wait, [&]() -> std::optional<CacheJudgement> {
        if (!lock.tryLock(CacheLock::Mode::Shared)) return std::nullopt;
        if (isCurrent(tag)) return CacheJudgement::Current;
        const bool empty = installAgentDirOnDisk().empty();
        lock.unlock();
        if (empty) return CacheJudgement::Empty;
        if (lock.tryLock(CacheLock::Mode::Exclusive)) {
            removeAbandoned();
            removeCachedAgent();
            lock.unlock();
        }
        return CacheJudgement::Stale;
    });
    return judged.value_or(CacheJudgement::GaveUp);
}

CacheFill fillCache(const std::string& archive, const std::optional<std::string>& tag, const CacheWait& wait) {
    std::string staging = getInstallAgentCacheDir() + kStagingPrefix + "XXXXXX";
    if (::mkdtemp(staging.data()) == nullptr) return CacheFill::CacheNotWritable;
    const DirectoryLock stagingLock(staging);

    if (!unzipInstallAgent(archive, staging, "unzip", report_message_main, wait.giveUp) ||
        !holdsInstallAgent(staging)) {
        removeTree(staging);
        return (wait.giveUp && wait.giveUp()) ? CacheFill::GaveUp : CacheFill::ExtractionFailed;
    }

    CacheLock& lock = CacheLock::process();
    const auto filled = pollLock<CacheFill>(wait, [&]() -> std::optional<CacheFill> {
        if (lock.tryLock(CacheLock::Mode::Shared)) {
            if (isCurrent(tag)) return CacheFill::Filled;  // another installer brought the same agent
            lock.unlock();
        }
        if (!lock.tryLock(CacheLock::Mode::Exclusive)) return std::nullopt;
        removeAbandoned();
        const CacheFill result = swapIn(staging, tag);
        if (result != CacheFill::Filled || !lock.tryLock(CacheLock::Mode::Shared)) lock.unlock();
        return result;
    });
    removeTree(staging);  // gone already when it was moved into place
    return filled.value_or(CacheFill::GaveUp);
}
