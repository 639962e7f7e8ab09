#include "host/files.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace bi {

std::optional<std::string> readSmallFile(const std::string& path, size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buf[4096];
    ssize_t n = 0;
    while (text.size() <= limit && ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))) {
        if (n > 0) text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (n < 0 || text.size() > limit) return std::nullopt;
    return text;
}

bool writeFileWhole(const std::string& path, const std::string& text, bool durable) {
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = (!durable || ::fsync(fd) == 0) && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

int64_t freeSpace(const std::string& dir) {
    struct statvfs st {};
    if (::statvfs(dir.c_str(), &st) != 0) return -1;
    // What is free for anyone but the superuser: the blocks kept for root are not the user's.
    const uint64_t block = st.f_frsize, blocks = st.f_bavail;
    if (block != 0 && blocks > static_cast<uint64_t>(INT64_MAX) / block) return INT64_MAX;
    return static_cast<int64_t>(blocks * block);
}

}  // namespace bi
