#include "host/files.h"

#include <fcntl.h>
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

}  // namespace bi
