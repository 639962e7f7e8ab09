#include "host/temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/bundle.h"
#include "platform/private_dir.h"
#include "platform/system_log.h"

namespace bi {

namespace fs = std::filesystem;

namespace {

const std::string kLock = ".qvlock";

// The one entry of dir when it is a lock of ours (under its name or its temporary one), ""
// when dir is empty; nullopt when it holds anything else.
std::optional<std::string> lockAlone(const std::string& dir) {
    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end && names.size() < 2; it.increment(ec))
        names.push_back(it->path().filename().string());
    if (ec || names.size() > 1) return std::nullopt;
    if (names.empty()) return "";
    if (names[0] == kLock || names[0].starts_with(kLock + ".")) return names[0];
    return std::nullopt;
}

// Working directories of ours whose makers are gone: nothing but their lock is left in them,
// and nobody holds it. A maker killed before its lock was in place (an empty directory, or the
// lock under its temporary name) left one that is old by now: locking takes it microseconds.
void removeAbandoned(const std::string& base) {
    constexpr time_t kLockedWithin = 60;
    DIR* listing = ::opendir(base.c_str());
    if (listing == nullptr) return;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.size() != 8 || !name.starts_with("qv")) continue;
        const std::string dir = platform::joinPath(base, name);
        struct stat st {};
        if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) continue;
        const auto lock = lockAlone(dir);
        if (!lock || (*lock != kLock && st.st_mtime > ::time(nullptr) - kLockedWithin)) continue;
        const std::string path = dir + "/" + *lock;
        const int fd = lock->empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (lock->empty() || (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0)) {
            if (!lock->empty()) ::unlink(path.c_str());
            ::rmdir(dir.c_str());
        }
        if (fd >= 0) ::close(fd);
    }
    ::closedir(listing);
}

// Locked under another name and then renamed, so that no other run ever sees it unlocked.
int lockDirectory(const std::string& dir) {
    std::string tmp = dir + "/" + kLock + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::rename(tmp.c_str(), (dir + "/" + kLock).c_str()) != 0) {
        ::unlink(tmp.c_str());
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

TempDir::TempDir() {
    std::vector<std::string> bases = {"/tmp"};
    if (const auto tmpdir = platform::temporaryDirectory(); tmpdir && *tmpdir != "/tmp")
        bases.insert(bases.begin(), *tmpdir);
    for (const std::string& base : bases) {
        if (auto refused = platform::privateDirRefusal(base, "", platform::Missing::Refuse)) {
            refusal_ += (refusal_.empty() ? "" : "; ") + *refused;
            continue;
        }
        removeAbandoned(base);
        std::string made = platform::joinPath(base, "qvXXXXXX");
        if (::mkdtemp(made.data()) != nullptr) {
            dir_ = made;
            lockFd_ = lockDirectory(dir_);
            if (!refusal_.empty()) platform::systemLog("The working directory is made in /tmp: " + refusal_);
            return;
        }
        refusal_ += (refusal_.empty() ? "" : "; ") + base + " cannot hold a directory: " + std::strerror(errno);
    }
}

TempDir::~TempDir() {
    if (!dir_.empty()) removeTree(dir_);
    if (lockFd_ >= 0) ::close(lockFd_);
}

bool removeTree(const std::string& path) {
    std::error_code ec;
    // An agent may leave directories without write or search permission; their owner may
    // open them up again, which lets remove_all empty them.
    const auto st = fs::symlink_status(path, ec);
    if (ec) return !fs::exists(st);
    if (fs::is_directory(st)) {
        ::chmod(path.c_str(), S_IRWXU);
        for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec)) removeTree(it->path().string());
        }
    }
    ec.clear();
    fs::remove_all(path, ec);
    return !ec && !fs::exists(fs::symlink_status(path, ec));
}

}  // namespace bi
