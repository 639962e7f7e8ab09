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

bool BodyFile::flush() {
    for (size_t done = 0; done < pending_.size();) {
        const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            errno_ = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    pending_.clear();
    return true;
}

void BodyFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace bi::net
