// The file a transfer's body goes to: a named file (created 0600 when missing) that a 206
// continues and any other body starts over, or a temporary one removed with the object.
// Writes are batched, so that libcurl's pieces of 16 KiB cost one write(2) per batch. For
// ranges, a file whose bytes are placed at their offsets, what it holds kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bi::net {

class BodyFile {
public:
    BodyFile() = default;
    ~BodyFile();
    BodyFile(const BodyFile&) = delete;
    BodyFile& operator=(const BodyFile&) = delete;

    // A new temporary file in dir (mode 0600); false, with errorNumber() set, when it cannot be made.
    bool makeTemporary(const std::string& dir);
    void name(std::string path) { path_ = std::move(path); }
    const std::string& path() const { return path_; }

    // Opens the file for a body that keeps its first `keep` bytes; false when that fails.
    bool openKeeping(int64_t keep, size_t batch);
    void append(const char* data, size_t size) { pending_.append(data, size); }
    // Opens the file (created 0600 when missing) for bytes placed at offsets; false when that fails.
    bool openForPlacing(size_t batch);
    // Bytes that belong at offset: batched while they follow on, written where they belong.
    // False, with the reason in errorNumber(), when writing what was pending failed.
    bool place(int64_t offset, const char* data, size_t size);
    // The spans written so far, offset and length, in order of writing, neighbours joined.
    const std::vector<std::pair<int64_t, int64_t>>& placed() const { return placed_; }
    size_t pending() const { return pending_.size(); }
    // Writes what is pending; false, with the reason in errorNumber(), when that fails.
    bool flush();
    void close();
    int errorNumber() const { return errno_; }

private:
    std::string path_;
    int fd_ = -1;
    bool temporary_ = false;
    int errno_ = 0;
    std::string pending_;  // body bytes received but not yet written
    bool placing_ = false;
    int64_t pendingAt_ = 0;  // where pending_ belongs, when placing
    std::vector<std::pair<int64_t, int64_t>> placed_;
};

}  // namespace bi::net
