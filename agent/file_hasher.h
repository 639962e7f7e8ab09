// BLAKE2b-512 of a file that is being written, on a thread of its own, so that checking a
// signature costs almost nothing after a download: the hash follows the file as it grows.
#pragma once

#include <sodium.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "agent/signature.h"

namespace bi {

class FileHasher {
public:
    // Starts hashing what the file at path holds now.
    explicit FileHasher(std::string path);
    ~FileHasher();
    FileHasher(const FileHasher&) = delete;
    FileHasher& operator=(const FileHasher&) = delete;

    // The file now holds at least `size` bytes.
    void grownTo(int64_t size);
    // The file was started over.
    void restart();
    // The hash of the file's first `size` bytes, once hashed; nullopt when the file is shorter
    // or cannot be read.
    std::optional<Blake2bDigest> digest(int64_t size);

private:
    void work();

    const std::string path_;
    std::mutex mutex_;
    std::condition_variable changed_;
    crypto_generichash_state state_{};
    int64_t known_ = 0;   // bytes the file is known to hold
    int64_t hashed_ = 0;  // bytes hashed so far
    bool restart_ = true;
    bool failed_ = false;
    bool stopping_ = false;
    std::thread thread_;  // last: it starts once the rest is set up
};

}  // namespace bi
