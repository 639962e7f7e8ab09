// The archive a download writes into the cache, kept when the run ends early so that the
// next run can resume it. At most one; private to the user; never taken for an agent. Only
// the holder of the cache's download lock touches it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "agent/cache_record.h"

namespace bi {

std::string partialArchivePath();

struct PartialArchive {
    PartialRecord record;  // url, tag and (when known) whole length
    int64_t size = 0;      // bytes on disk
    bool complete() const { return record.length >= 0 && size == record.length; }
};

// The partial archive of url that a request may continue (its tag is strong); whatever else
// lies there (another URL's, one without a record or a strong tag, half-written records) is
// dropped.
std::optional<PartialArchive> partialArchiveFor(const std::string& url);

// The partial archive as it lies, whoever writes it, without dropping anything: what a waiting
// installer shows of another's download. nullopt without a record or a file.
std::optional<PartialArchive> peekPartialArchive();

// Records what the partial archive is; false when it could not be written.
bool recordPartialArchive(const PartialRecord& record);

void dropPartialArchive();

}  // namespace bi
