// Small files read and written whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace bi {

// The file at path when it holds at most `limit` bytes; nullopt when it cannot be read or is
// longer.
std::optional<std::string> readSmallFile(const std::string& path, size_t limit = size_t{64} * 1024);

// Writes text as the file at path through a temporary file beside it, synced (when `durable`)
// and renamed, so that a reader sees all or nothing.
bool writeFileWhole(const std::string& path, const std::string& text, bool durable = true);

// The bytes a program of this user may still write in the file system that holds dir; -1 when
// it cannot be told.
int64_t freeSpace(const std::string& dir);

}  // namespace bi
