// The per-user cache's locks, flock(2) on files in the cache, which the kernel drops when the
// process ends, so a crash never leaves one held:
// - "<cache>/.lock": shared while the cached agent is judged or runs, exclusive while it is
//   changed;
// - "<cache>/.download.lock": exclusive while an installer downloads into the cache, so that
//   installers started together download the archive once.
#pragma once

#include <string>

namespace bi {

class CacheLock {
public:
    enum class Mode { None, Shared, Exclusive };

    // The process's lock on the cached agent; it stays held until changed or the process ends.
    static CacheLock& process();
    // The process's lock on downloading into the cache.
    static CacheLock& download();

    // Takes (or converts to) mode without waiting; false when another process is in the way.
    // A failed conversion may leave the lock released: callers start over.
    bool tryLock(Mode mode);
    void unlock();
    Mode mode() const { return mode_; }

private:
    explicit CacheLock(const char* name) : name_(name) {}
    bool open();

    const char* name_;
    int fd_ = -1;
    std::string path_;
    Mode mode_ = Mode::None;
};

// A directory locked by its maker for as long as it works in it: a later run that can take
// the lock knows the maker is gone and may remove it.
class DirectoryLock {
public:
    explicit DirectoryLock(const std::string& dir);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    bool held() const { return fd_ >= 0; }

    // Whether nobody holds dir's lock (checked by taking and dropping it).
    static bool abandoned(const std::string& dir);

private:
    int fd_ = -1;
};

}  // namespace bi
