// A zip archive's central directory, read from the archive's end: every entry with what tells
// two releases' entries apart, and each entry's extent, the bytes from its local header to the
// next entry's. An update reuses an unchanged entry's extent and fetches the rest; unzip's
// disk needs are the sum of the sizes it will write.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bi {

struct ZipEntry {
    std::string name;
    uint32_t crc32 = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint16_t method = 0;
    uint16_t flags = 0;
    uint16_t time = 0;  // MS-DOS time and date, as stored
    uint16_t date = 0;
    // Where its local header lies in the file (any stub the directory's offsets leave out
    // added), and where its extent ends: at the next entry's local header in file order, the
    // last one at the central directory. The extent holds the local header, the data and any
    // data descriptor.
    uint64_t offset = 0;
    uint64_t extentEnd = 0;
    uint64_t extentLength() const { return extentEnd - offset; }
};

struct ZipDirectory {
    std::vector<ZipEntry> entries;  // in the directory's order, duplicate names as they stand
    uint64_t fileLength = 0;
    uint64_t directoryOffset = 0;  // where the central directory begins in the file
    uint64_t directorySize = 0;
    // Bytes before the first local header (a self-extractor's stub, say); `shift` of them are
    // not counted by the directory's own offsets.
    uint64_t firstEntry = 0;
    uint64_t shift = 0;
    bool zip64 = false;
    std::string comment;

    // What unzip writes when it extracts every entry: the uncompressed sizes added up
    // (UINT64_MAX when the sum would overflow).
    uint64_t unpackedSize() const;
};

// The most bytes that can follow the start of the end-of-central-directory record: the record
// itself and a comment of the largest size. A request for the archive's end asks for at least
// this much.
inline constexpr uint64_t kZipEndBytes = 22 + 0xffff;

struct ZipRead {
    std::optional<ZipDirectory> directory;
    // The directory begins before the bytes given: read the file from here to its end and ask
    // again.
    std::optional<uint64_t> needFrom;
    std::string error;  // why the archive cannot be read, when neither of the above
};

// Reads the directory of a zip file of fileLength bytes from `tail`, its last tail.size()
// bytes. Damaged, truncated, split, overlapping or encrypted-directory archives are errors,
// never guessed at.
ZipRead readZipDirectory(std::string_view tail, uint64_t fileLength);

// The same for a file on disk; an error when it cannot be read.
ZipRead readZipDirectoryOf(const std::string& path);

}  // namespace bi
