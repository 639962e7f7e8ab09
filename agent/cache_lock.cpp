#include "agent/cache_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "agent/cache.h"

namespace bi {

CacheLock& CacheLock::process() {
    static CacheLock lock(".lock");
    return lock;
}

CacheLock& CacheLock::download() {
    static CacheLock lock(".download.lock");
    return lock;
}

bool CacheLock::open() {
    const std::string path = getInstallAgentCacheDir() + name_;
    if (fd_ >= 0 && path == path_) return true;
    if (fd_ >= 0) ::close(fd_);
    path_ = path;
    mode_ = Mode::None;
    // Not inherited: an agent's own children must not keep the cache locked.
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    return fd_ >= 0;
}

bool CacheLock::tryLock(Mode mode) {
    if (mode == Mode::None) {
        unlock();
        return true;
    }
    if (!open()) return false;
    if (mode_ == mode) return true;
    if (::flock(fd_, (mode == Mode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) {
        mode_ = mode;
        return true;
    }
    // Linux drops the old lock before it tries the new one.
    if (mode_ != Mode::None && ::flock(fd_, (mode_ == Mode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        mode_ = Mode::None;
    }
    return false;
}

void CacheLock::unlock() {
    if (fd_ >= 0 && mode_ != Mode::None) ::flock(fd_, LOCK_UN);
    mode_ = Mode::None;
}

DirectoryLock::DirectoryLock(const std::string& dir) {
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

DirectoryLock::~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);
}

bool DirectoryLock::abandoned(const std::string& dir) { return DirectoryLock(dir).held(); }

}  // namespace bi
