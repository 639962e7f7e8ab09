#include "agent/delta_assembly.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/cache.h"
#include "agent/partial_archive.h"
#include "host/constants.h"

namespace bi {

namespace {

constexpr size_t kCopyBlock = size_t{1} << 20;

// Closes a descriptor when it goes.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool isDiskFull(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

AssemblyResult writeFailed(const std::string& path, int error) {
    return {isDiskFull(error) ? AssemblyResult::Kind::DiskFull : AssemblyResult::Kind::Failed,
            "cannot write " + path + ": " + std::strerror(error)};
}

// Copies with read and write where the kernel cannot copy between the two files itself.
AssemblyResult copyByHand(int from, int to, const Reuse& r, const std::string& oldArchive, const std::string& path) {
    std::string block(std::min<uint64_t>(kCopyBlock, r.length), '\0');
    for (uint64_t done = 0; done < r.length;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(block.size(), r.length - done));
        const ssize_t n = ::pread(from, block.data(), want, static_cast<off_t>(r.from + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            return {AssemblyResult::Kind::OldArchive, "cannot read " + oldArchive + " at " +
                                                          std::to_string(r.from + done) + ": " +
                                                          (n == 0 ? "it ends there" : std::strerror(errno))};
        }
        for (ssize_t put = 0; put < n;) {
            const ssize_t w = ::pwrite(to, block.data() + put, static_cast<size_t>(n - put),
                                       static_cast<off_t>(r.to + done + static_cast<uint64_t>(put)));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return writeFailed(path, w < 0 ? errno : ENOSPC);
            put += w;
        }
        done += static_cast<uint64_t>(n);
    }
    return {};
}

AssemblyResult copyOne(int from, int to, const Reuse& r, const std::string& oldArchive, const std::string& path) {
    auto in = static_cast<off_t>(r.from), out = static_cast<off_t>(r.to);
    for (uint64_t left = r.length; left > 0;) {
        // The system call itself: glibc has its wrapper only since 2.27, and an older kernel says ENOSYS.
        const auto n = static_cast<ssize_t>(::syscall(SYS_copy_file_range, from, &in, to, &out, left, 0));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
            const uint64_t done = r.length - left;
            return copyByHand(from, to, {r.from + done, r.to + done, left}, oldArchive, path);
        }
        if (n < 0 && isDiskFull(errno)) return writeFailed(path, errno);
        if (n <= 0) {
            return {AssemblyResult::Kind::OldArchive, "cannot read " + oldArchive + " at " + std::to_string(in) + ": " +
                                                          (n == 0 ? "it ends there" : std::strerror(errno))};
        }
        left -= static_cast<uint64_t>(n);
    }
    return {};
}

}  // namespace

std::string assemblyPath() { return getInstallAgentCacheDir() + UPDATE_ARCHIVE_FILE; }

void dropAssembly() { ::unlink(assemblyPath().c_str()); }

AssemblyResult copyReused(const std::string& oldArchive, const std::string& path, uint64_t length,
                          const std::vector<Reuse>& reuse) {
    const Fd to{::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)};
    if (to.fd < 0 || ::ftruncate(to.fd, static_cast<off_t>(length)) != 0) return writeFailed(path, errno);
    // A full disk shows now rather than in the middle; file systems without it fill as they go.
    if (::fallocate(to.fd, 0, 0, static_cast<off_t>(length)) != 0 && isDiskFull(errno)) {
        return writeFailed(path, errno);
    }
    const Fd from{::open(oldArchive.c_str(), O_RDONLY | O_CLOEXEC)};
    if (from.fd < 0)
        return {AssemblyResult::Kind::OldArchive, "cannot open " + oldArchive + ": " + std::strerror(errno)};
    for (const Reuse& r : reuse) {
        if (r.to > length || r.length > length - r.to) {
            return {AssemblyResult::Kind::Failed, "a reused extent lies past the new archive's end"};
        }
        if (AssemblyResult copied = copyOne(from.fd, to.fd, r, oldArchive, path); !copied) return copied;
    }
    return {};
}

std::optional<std::string> readSpan(const std::string& path, uint64_t offset, uint64_t length) {
    const Fd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (fd.fd < 0) return std::nullopt;
    std::string bytes(length, '\0');
    for (uint64_t done = 0; done < length;) {
        const ssize_t n = ::pread(fd.fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        done += static_cast<uint64_t>(n);
    }
    return bytes;
}

bool takeAssembly(const PartialRecord& record) {
    dropPartialArchive();
    return ::rename(assemblyPath().c_str(), partialArchivePath().c_str()) == 0 && recordPartialArchive(record);
}

}  // namespace bi
