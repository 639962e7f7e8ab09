// The new archive as an update assembles it: a file of its own in the cache, private to the
// user, into which the reused extents are copied from the kept archive and the fetched ranges
// are written by the URL session at their offsets. Nothing takes it for an archive until it
// is proven and moved into the partial archive's place as a whole one; a crash leaves only
// the file, which the next update (or dropAssembly) removes. Only the holder of the cache's
// download lock touches it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent/cache_record.h"
#include "agent/delta_plan.h"
#include "agent/zip_directory.h"

namespace bi {

// <cache>/.update
std::string assemblyPath();
void dropAssembly();

struct AssemblyResult {
    enum class Kind { Done, DiskFull, OldArchive, Failed } kind = Kind::Done;
    std::string why;  // for the log
    explicit operator bool() const { return kind == Kind::Done; }
};

// Makes the file at path `length` bytes long (created private when missing; what an answer
// already placed in it stays), reserves its blocks where the file system can, and copies the
// reused extents from oldArchive. OldArchive when that one cannot be read where its
// directory says; DiskFull when the disk cannot hold the new archive.
AssemblyResult copyReused(const std::string& oldArchive, const std::string& path, uint64_t length,
                          const std::vector<Reuse>& reuse);

// `length` bytes at `offset` of path, such as the archive's end that an answer placed there;
// nullopt when the file does not hold them.
std::optional<std::string> readSpan(const std::string& path, uint64_t offset, uint64_t length);

struct Proof {
    bool ok = false;
    std::string why;      // for the log, when not
    std::string entry;    // the entry found wrong, "" when the fault is not one entry's
    uint64_t offset = 0;  // where that entry lies
};

// Whether the file at path is the archive `expected` describes, as unzip will find it: its
// length, a directory equal to the expected one, and for every entry a local header of its
// name whose data fits its extent and inflates to its size and CRC-32. An encrypted entry, or
// one of a method other than stored and deflated, cannot be proven. Stops, unproven, once
// `cancelled` says so.
Proof proveArchive(const std::string& path, const ZipDirectory& expected, const std::function<bool()>& cancelled = {});

// Moves the proven assembly into the partial archive's place and records it whole with
// `record` (its url, tag and length), so that the cache is filled from it as from any
// downloaded archive. False when that fails; a crash in between leaves a partial archive
// without a record, which is dropped, never taken for whole.
bool takeAssembly(const PartialRecord& record);

}  // namespace bi
