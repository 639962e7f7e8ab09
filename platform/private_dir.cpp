#include "platform/private_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/bundle.h"

namespace bi::platform {

namespace {

// A descriptor closed when it goes.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::vector<std::string> componentsOf(std::string_view path) {
    std::vector<std::string> parts;
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        if (!part.empty() && part != ".") parts.emplace_back(part);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    }
    return parts;
}

// A directory that the user may rely on without having made it: root's own or the user's,
// and nobody else may change it, unless the sticky bit keeps their hands off others' entries.
bool isTrustedDir(const struct stat& st) {
    if (!S_ISDIR(st.st_mode) || (st.st_uid != ::geteuid() && st.st_uid != 0)) return false;
    const bool stickyOfRoot = st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0;
    return stickyOfRoot || (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The next directory below `dir`, never through a link; -1 with errno when there is none.
int openBelow(int dir, const std::string& name) {
    return ::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool statOf(int fd, struct stat* st) { return ::fstat(fd, st) == 0; }

}  // namespace

bool isPrivateDir(const struct stat& st) {
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

namespace {

// The walk of both: the last directory as an O_PATH descriptor, or -1 with *why.
int walkTo(const std::string& base, const std::string& ours, Missing missing, std::string* why) {
    const std::string notTrusted = " is not a directory that only its owner can change";
    const std::string notOurs = " is not a directory of this user's that only this user can change";
    const auto refuse = [why](const std::string& reason) {
        *why = reason;
        return -1;
    };
    // The real path, so that a link in the home directory's path is judged where it leads.
    char* resolved = ::realpath(base.c_str(), nullptr);
    if (resolved == nullptr) return refuse(base + notTrusted + " (" + std::strerror(errno) + ")");
    const std::string real = resolved;
    std::free(resolved);

    struct stat st {};
    Fd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || !statOf(dir.get(), &st) || !isTrustedDir(st)) return refuse("/" + notTrusted);
    std::string path;
    for (const std::string& name : componentsOf(real)) {
        path += "/" + name;
        dir = Fd(openBelow(dir.get(), name));
        if (dir.get() < 0 || !statOf(dir.get(), &st) || !isTrustedDir(st)) return refuse(path + notTrusted);
    }
    path = base;
    for (const std::string& name : componentsOf(ours)) {
        path = joinPath(path, name);
        // ".." would leave the directories judged for one that was not.
        if (name == "..") return refuse(path + notOurs);
        Fd next(openBelow(dir.get(), name));
        if (next.get() < 0 && errno == ENOENT && missing == Missing::Create) {
            if (::mkdirat(dir.get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
                return refuse(path + " cannot be made: " + std::strerror(errno));
            }
            next = Fd(openBelow(dir.get(), name));
        }
        if (next.get() < 0 && errno == ENOENT) return refuse(path + " is missing");
        if (next.get() < 0 || !statOf(next.get(), &st) || !isPrivateDir(st)) return refuse(path + notOurs);
        dir = std::move(next);
    }
    return dir.release();
}

}  // namespace

int openPrivateDir(const std::string& base, const std::string& ours, Missing missing, std::string* why) {
    const Fd walked(walkTo(base, ours, missing, why));
    if (walked.get() < 0) return -1;
    // O_PATH serves the walk; the caller lists and writes in the directory.
    const int dir = ::openat(walked.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) *why = joinPath(base, ours) + " cannot be opened: " + std::strerror(errno);
    return dir;
}

std::optional<std::string> privateDirRefusal(const std::string& base, const std::string& ours, Missing missing) {
    std::string why;
    const Fd dir(walkTo(base, ours, missing, &why));
    if (dir.get() < 0) return why;
    return std::nullopt;
}

}  // namespace bi::platform
