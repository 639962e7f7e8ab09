#include "agent/cache_fill.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "agent/cache.h"
#include "agent/extract.h"
#include "driver/constants.h"
#include "host/temp_dir.h"

namespace {

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string agentDirectory() { return getInstallAgentCacheDir() + INSTALL_AGENT_DIR_NAME; }
std::string tagFile() { return getInstallAgentCacheDir() + VALIDATION_STRING_FILE; }

bool isRegularFile(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Writes the tag beside the agent through a temporary file, so a reader sees all or nothing.
bool storeTag(const std::string& tag) {
    std::string tmpl = getInstallAgentCacheDir() + ".validatestring.XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return false;
    bool ok = ::write(fd, tag.data(), tag.size()) == static_cast<ssize_t>(tag.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmpl.c_str(), tagFile().c_str()) == 0;
    if (!ok) ::unlink(tmpl.c_str());
    return ok;
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

void removeCachedAgent() {
    ::unlink(tagFile().c_str());
    removeTree(agentDirectory());
}

CacheFill fillCache(const std::string& archive, const std::optional<std::string>& tag) {
    const std::string agentDir = agentDirectory();
    std::string staging = getInstallAgentCacheDir() + ".installagent.XXXXXX";
    if (::mkdtemp(staging.data()) == nullptr) return CacheFill::CacheNotWritable;

    if (!unzipInstallAgent(archive, staging, "unzip", report_message_main) ||
        !isRegularFile(getInstallAgentExecutable(staging))) {
        removeTree(staging);
        return CacheFill::ExtractionFailed;
    }

    // The old tag goes first: from here until the new tag is stored, no agent is current.
    ::unlink(tagFile().c_str());
    // The old agent moves aside in one step, so the agent directory is always whole or absent.
    std::string old = getInstallAgentCacheDir() + ".installagent-old.XXXXXX";
    const bool hadOld = ::access(agentDir.c_str(), F_OK) == 0;
    if (hadOld && ::mkdtemp(old.data()) == nullptr) {
        removeTree(staging);
        return CacheFill::CacheNotWritable;
    }
    const bool placed = (!hadOld || ::rename(agentDir.c_str(), (old + "/agent").c_str()) == 0) &&
                        ::rename(staging.c_str(), agentDir.c_str()) == 0;
    if (hadOld) removeTree(old);
    if (!placed) {
        removeTree(staging);
        return CacheFill::CacheNotWritable;
    }
    // Without a stored tag the agent is still whole; a later run just fetches it again.
    if (tag) storeTag(*tag);
    return CacheFill::Filled;
}
