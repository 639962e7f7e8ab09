#include "net/body_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace bi::net {

BodyFile::~BodyFile() {
    close();
    if (temporary_) ::unlink(path_.c_str());
}

bool BodyFile::makeTemporary(const std::string& dir) {
    path_ = dir + "/download-XXXXXX";
    fd_ = ::mkostemp(path_.data(), O_CLOEXEC);  // mode 0600
    if (fd_ < 0) {
        errno_ = errno;
        return false;
    }
    temporary_ = true;
    return true;
}

bool BodyFile::openKeeping(int64_t keep, size_t batch) {
    if (fd_ < 0) fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    // Truncated only when longer: a file truncated and written anew is flushed whole on
    // close by ext4, which would stall the transfer's end for a large archive.
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || (st.st_size > keep && ::ftruncate(fd_, keep) != 0) ||
        ::lseek(fd_, keep, SEEK_SET) != keep) {
        errno_ = errno;
        return false;
    }
    pending_.reserve(batch);  // never doubled on the way
    return true;
}

bool BodyFile::openForPlacing(size_t batch) {
    if (fd_ < 0) fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        errno_ = errno;
        return false;
    }
    placing_ = true;
    pending_.reserve(batch);
    return true;
}

bool BodyFile::place(int64_t offset, const char* data, size_t size) {
    if (!pending_.empty() && offset != pendingAt_ + static_cast<int64_t>(pending_.size()) && !flush()) return false;
    if (pending_.empty()) pendingAt_ = offset;
    pending_.append(data, size);
    return true;
}

bool BodyFile::flush() {
    for (size_t done = 0; done < pending_.size();) {
        const ssize_t n = placing_ ? ::pwrite(fd_, pending_.data() + done, pending_.size() - done,
                                              static_cast<off_t>(pendingAt_ + static_cast<int64_t>(done)))
                                   : ::write(fd_, pending_.data() + done, pending_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            errno_ = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (placing_ && !pending_.empty()) {
        const auto size = static_cast<int64_t>(pending_.size());
        if (!placed_.empty() && placed_.back().first + placed_.back().second == pendingAt_) {
            placed_.back().second += size;
        } else {
            placed_.emplace_back(pendingAt_, size);
        }
        pendingAt_ += size;
    }
    pending_.clear();
    return true;
}

void BodyFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace bi::net
