// The per-user cache's lock: flock(2) on "<cache>/.lock". Shared while the cached agent is
// judged or runs, exclusive while the cache is changed. The kernel drops it when the process
// ends, so a crash never leaves it held.
#pragma once

#include <string>

class CacheLock {
public:
    enum class Mode { None, Shared, Exclusive };

    // The process's one lock on the cache; it stays held until changed or the process ends.
    static CacheLock& process();

    // Takes (or converts to) mode without waiting; false when another process is in the way.
    // A failed conversion may leave the lock released: callers start over.
    bool tryLock(Mode mode);
    void unlock();
    Mode mode() const { return mode_; }

private:
    CacheLock() = default;
    bool open();

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
