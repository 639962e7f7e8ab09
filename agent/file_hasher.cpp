#include "agent/file_hasher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace bi {

namespace {

constexpr int64_t kChunk = 256 << 10;

}  // namespace

FileHasher::FileHasher(std::string path) : path_(std::move(path)) {
    if (sodium_init() < 0) failed_ = true;
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) known_ = st.st_size;
    thread_ = std::thread([this] { work(); });
}

FileHasher::~FileHasher() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void FileHasher::grownTo(int64_t size) {
    {
        std::lock_guard lock(mutex_);
        known_ = std::max(known_, size);
        failed_ = false;
    }
    changed_.notify_all();
}

void FileHasher::restart() {
    {
        std::lock_guard lock(mutex_);
        restart_ = true;
        known_ = 0;
        failed_ = false;
    }
    changed_.notify_all();
}

std::optional<Blake2bDigest> FileHasher::digest(int64_t size) {
    std::unique_lock lock(mutex_);
    known_ = std::max(known_, size);
    changed_.notify_all();
    changed_.wait(lock, [&] { return (!restart_ && hashed_ >= size) || failed_; });
    if (failed_ || hashed_ != size) return std::nullopt;
    crypto_generichash_state copy = state_;
    Blake2bDigest out{};
    crypto_generichash_final(&copy, out.data(), out.size());
    return out;
}

void FileHasher::work() {
    int fd = -1;
    std::vector<unsigned char> buffer(kChunk);
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (restart_) {
            // Opened afresh: a file started over may be a new one under the same name.
            if (fd >= 0) ::close(fd);
            fd = -1;
            crypto_generichash_init(&state_, nullptr, 0, Blake2bDigest{}.size());
            hashed_ = 0;
            restart_ = false;
        }
        if (fd < 0 && !failed_ && known_ > hashed_) {
            fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
            failed_ = fd < 0;
        }
        if (failed_ || hashed_ >= known_) {
            changed_.notify_all();
            changed_.wait(lock);
            continue;
        }
        const int64_t offset = hashed_, want = std::min(kChunk, known_ - hashed_);
        lock.unlock();
        const ssize_t n = ::pread(fd, buffer.data(), static_cast<size_t>(want), offset);
        lock.lock();
        if (restart_) continue;  // what was read belongs to the file before it started over
        if (n <= 0) {
            failed_ = true;  // shorter than promised: grownTo or restart says when to go on
            continue;
        }
        crypto_generichash_update(&state_, buffer.data(), static_cast<unsigned long long>(n));
        hashed_ += n;
    }
    if (fd >= 0) ::close(fd);
}

}  // namespace bi
