#include "agent/cache_fill.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "agent/cache.h"
#include "agent/cache_lock.h"
#include "agent/extract.h"
#include "host/constants.h"
#include "host/files.h"
#include "host/report.h"
#include "host/temp_dir.h"
#include "platform/private_dir.h"

namespace bi {

namespace {

constexpr auto kLockPoll = std::chrono::milliseconds(50);
const std::string kStagingPrefix = ".installagent.";
const std::string kOldPrefix = ".installagent-old.";

std::string agentDirectory() { return getInstallAgentCacheDir() + INSTALL_AGENT_DIR_NAME; }
std::string tagFile() { return getInstallAgentCacheDir() + VALIDATION_STRING_FILE; }
std::string recordFile() { return getInstallAgentCacheDir() + AGENT_RECORD_FILE; }

bool isCurrent(const AgentIdentity& wanted) {
    if (!wanted.tag || installAgentDirOnDisk().empty() || !isCacheValid(getInstallAgentCacheDir(), *wanted.tag)) {
        return false;
    }
    const auto record = readAgentRecord(recordFile());
    return record && record->url == wanted.url && record->tag == *wanted.tag &&
           (wanted.keyId.empty() || record->keyId == wanted.keyId);
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
// gone, agents moved aside, tag and record files half written).
void removeAbandoned() {
    const std::string cacheDir = getInstallAgentCacheDir();
    for (const std::string& name : entriesOf(cacheDir)) {
        const std::string path = cacheDir + name;
        if (name.starts_with(VALIDATION_STRING_FILE + ".") || name.starts_with(AGENT_RECORD_FILE + ".")) {
            ::unlink(path.c_str());
        } else if ((name.starts_with(kStagingPrefix) || name.starts_with(kOldPrefix)) &&
                   DirectoryLock::abandoned(path)) {
            removeTree(path);
        }
    }
}

// Drops the cached agent: first what makes it current, then its directory.
void removeCachedAgent() {
    ::unlink(tagFile().c_str());
    ::unlink(recordFile().c_str());
    removeTree(agentDirectory());
}

// Under the exclusive lock: the staged agent takes the agent directory's place.
CacheFill swapIn(const std::string& staging, const AgentRecord& record) {
    const std::string agentDir = agentDirectory();
    // What makes the old agent current goes first: from here until the new tag is stored, no
    // agent is current.
    ::unlink(tagFile().c_str());
    ::unlink(recordFile().c_str());
    // The old agent moves aside in one step, so the agent directory is always whole or absent.
    std::string old = getInstallAgentCacheDir() + kOldPrefix + "XXXXXX";
    const bool hadOld = ::access(agentDir.c_str(), F_OK) == 0;
    if (hadOld && ::mkdtemp(old.data()) == nullptr) return CacheFill::CacheNotWritable;
    const bool placed = (!hadOld || ::rename(agentDir.c_str(), (old + "/agent").c_str()) == 0) &&
                        ::rename(staging.c_str(), agentDir.c_str()) == 0;
    if (hadOld) removeTree(old);
    if (!placed) return CacheFill::CacheNotWritable;
    // Without them the agent is still whole; a later run just fetches it again.
    if (writeAgentRecord(recordFile(), record) && !record.tag.empty()) writeFileWhole(tagFile(), record.tag);
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

// The cache's directories as judged from the directory that holds them.
std::optional<std::string> cacheRefusal(platform::Missing missing) {
    const std::string cacheDir = getInstallAgentCacheDir();
    const std::string base = cacheDir.substr(0, cacheDir.size() - INSTALL_AGENT_CACHE_PATH.size());
    return platform::privateDirRefusal(base.empty() ? "/" : base, INSTALL_AGENT_CACHE_PATH, missing);
}

}  // namespace

bool isCacheTrusted(std::string* why) {
    if (auto refusal = cacheRefusal(platform::Missing::Refuse)) {
        *why = *refusal;
        return false;
    }
    // Another installer may just have dropped a stale agent; the fill makes a new one.
    const std::string agentDir = agentDirectory();
    struct stat st {};
    if (::lstat(agentDir.c_str(), &st) == 0 ? !platform::isPrivateDir(st) : errno != ENOENT) {
        *why = agentDir + " is not a directory of this user's that only this user can change";
        return false;
    }
    return true;
}

bool prepareCache(std::string* why) {
    const auto refusal = cacheRefusal(platform::Missing::Create);
    if (refusal) *why = *refusal;
    return !refusal;
}

CacheJudgement judgeCache(const AgentIdentity& wanted, const CacheWait& wait) {
    CacheLock& lock = CacheLock::process();
    const auto judged = pollLock<CacheJudgement>(wait, [&]() -> std::optional<CacheJudgement> {
        if (!lock.tryLock(CacheLock::Mode::Shared)) return std::nullopt;
        if (isCurrent(wanted)) return CacheJudgement::Current;
        const bool empty = installAgentDirOnDisk().empty();
        lock.unlock();
        if (empty) return CacheJudgement::Empty;
        if (wanted.keyId.empty() && lock.tryLock(CacheLock::Mode::Exclusive)) {
            removeAbandoned();
            removeCachedAgent();
            lock.unlock();
        }
        return CacheJudgement::Stale;
    });
    return judged.value_or(CacheJudgement::GaveUp);
}

std::optional<AgentRecord> cachedAgentRecord() {
    if (installAgentDirOnDisk().empty()) return std::nullopt;
    return readAgentRecord(recordFile());
}

std::optional<AgentRecord> holdCachedAgent(const CacheWait& wait) {
    CacheLock& lock = CacheLock::process();
    std::optional<AgentRecord> found;
    const auto held = pollLock<bool>(wait, [&]() -> std::optional<bool> {
        if (!lock.tryLock(CacheLock::Mode::Shared)) return std::nullopt;
        found = cachedAgentRecord();
        if (!found) lock.unlock();
        return found.has_value();
    });
    return held.value_or(false) ? found : std::nullopt;
}

CacheFill fillCache(const std::string& archive, const AgentRecord& record, const CacheWait& wait) {
    std::string staging = getInstallAgentCacheDir() + kStagingPrefix + "XXXXXX";
    if (::mkdtemp(staging.data()) == nullptr) return CacheFill::CacheNotWritable;
    const DirectoryLock stagingLock(staging);

    const Unzipped unzipped = unzipInstallAgent(archive, staging, "unzip", reportMessage, wait.giveUp);
    if (unzipped != Unzipped::Done || !holdsInstallAgent(staging)) {
        removeTree(staging);
        if (wait.giveUp && wait.giveUp()) return CacheFill::GaveUp;
        return unzipped == Unzipped::DiskFull ? CacheFill::DiskFull : CacheFill::ExtractionFailed;
    }

    const AgentIdentity same{record.url, record.tag.empty() ? std::nullopt : std::optional(record.tag), record.keyId};
    CacheLock& lock = CacheLock::process();
    const auto filled = pollLock<CacheFill>(wait, [&]() -> std::optional<CacheFill> {
        if (lock.tryLock(CacheLock::Mode::Shared)) {
            if (isCurrent(same)) return CacheFill::Filled;  // another installer brought the same agent
            lock.unlock();
        }
        if (!lock.tryLock(CacheLock::Mode::Exclusive)) return std::nullopt;
        removeAbandoned();
        const CacheFill result = swapIn(staging, record);
        if (result != CacheFill::Filled || !lock.tryLock(CacheLock::Mode::Shared)) lock.unlock();
        return result;
    });
    removeTree(staging);  // gone already when it was moved into place
    return filled.value_or(CacheFill::GaveUp);
}

}  // namespace bi
