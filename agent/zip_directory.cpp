#include "agent/zip_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <numeric>

namespace bi {

namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint64_t kEndSize = 22;
constexpr uint64_t kLocatorSize = 20;
constexpr uint64_t kZip64EndSize = 56;  // without extensible data
constexpr uint64_t kCentralSize = 46;
constexpr uint64_t kLocalSize = 30;
constexpr uint16_t kZip64ExtraId = 0x0001;
// A directory larger than this is no install agent's; reading it would only cost memory.
constexpr uint64_t kLargestDirectory = uint64_t{256} << 20;

// Little-endian fields of the tail, at offsets relative to the file; the caller has checked
// that they lie within it.
class Bytes {
public:
    Bytes(std::string_view tail, uint64_t base) : tail_(tail), base_(base) {}
    bool holds(uint64_t at, uint64_t size) const {
        return at >= base_ && size <= tail_.size() && at - base_ <= tail_.size() - size;
    }
    uint64_t field(uint64_t at, int size) const {
        uint64_t value = 0;
        for (int i = size - 1; i >= 0; --i)
            value = value << 8 | static_cast<unsigned char>(tail_[at - base_ + static_cast<uint64_t>(i)]);
        return value;
    }
    uint16_t u16(uint64_t at) const { return static_cast<uint16_t>(field(at, 2)); }
    uint32_t u32(uint64_t at) const { return static_cast<uint32_t>(field(at, 4)); }
    uint64_t u64(uint64_t at) const { return field(at, 8); }
    std::string text(uint64_t at, uint64_t size) const { return std::string(tail_.substr(at - base_, size)); }
    uint64_t base() const { return base_; }

private:
    std::string_view tail_;
    uint64_t base_;
};

ZipRead failed(std::string why) {
    ZipRead read;
    read.error = std::move(why);
    return read;
}

ZipRead needFrom(uint64_t from) {
    ZipRead read;
    read.needFrom = from;
    return read;
}

// The end-of-central-directory record's values, widened by the zip64 record where it has one.
struct End {
    uint64_t at = 0;       // where the record that ends the directory begins (zip64's, when present)
    uint64_t entries = 0;  // in the whole archive
    uint64_t size = 0;     // of the central directory
    uint64_t offset = 0;   // of the central directory, as the archive counts
    bool zip64 = false;
    std::string comment;
};

// The end record, searched from the file's end as unzip does; only one whose comment ends
// exactly at the file's end is taken, so that a stray signature in a comment is not.
std::optional<uint64_t> findEnd(const Bytes& b, uint64_t fileLength) {
    if (fileLength < kEndSize) return std::nullopt;
    const uint64_t lowest = fileLength - std::min(fileLength, kZipEndBytes);
    for (uint64_t at = fileLength - kEndSize;; --at) {
        if (!b.holds(at, kEndSize)) return std::nullopt;
        if (b.u32(at) == kEndSignature && at + kEndSize + b.u16(at + 20) == fileLength) return at;
        if (at == lowest) return std::nullopt;
    }
}

// Reads the zip64 locator before the end record at `end` and the zip64 record it names.
// Before that record's offset in the file, a stub may lie that the offsets do not count: then
// it is the one right before the locator.
ZipRead readZip64(const Bytes& b, uint64_t endAt, End& end) {
    const uint64_t locator = endAt - kLocatorSize;
    if (!b.holds(locator, kLocatorSize)) return b.base() > 0 ? needFrom(locator) : failed("no zip64 locator");
    if (b.u32(locator + 4) != 0 || b.u32(locator + 16) > 1) return failed("a split zip64 archive");
    const uint64_t named = b.u64(locator + 8);
    if (locator < kZip64EndSize) return failed("no room for the zip64 end record");
    const uint64_t before = locator - kZip64EndSize;
    std::optional<uint64_t> at;
    for (const uint64_t candidate : {named, before}) {
        if (at || candidate > before || !b.holds(candidate, kZip64EndSize) || b.u32(candidate) != kZip64EndSignature) {
            continue;
        }
        if (b.u64(candidate + 4) == locator - candidate - 12) at = candidate;
    }
    if (!at) {
        // Not among the bytes given: ask for them, the usual place first.
        if (before < b.base()) return needFrom(before);
        if (named < b.base() && named < before) return needFrom(named);
        return failed("the zip64 end record is not where its locator says");
    }
    if (b.u32(*at + 16) != 0 || b.u32(*at + 20) != 0 || b.u64(*at + 24) != b.u64(*at + 32)) {
        return failed("a split zip64 archive");
    }
    const uint64_t entries = b.u64(*at + 32), size = b.u64(*at + 40), offset = b.u64(*at + 48);
    // The 16- and 32-bit values either say "see the zip64 record" or agree with it.
    const auto agrees = [](uint64_t narrow, uint64_t wide, uint64_t saturated) {
        return narrow == saturated || narrow == wide;
    };
    if (!agrees(end.entries, entries, 0xffff) || !agrees(end.size, size, 0xffffffff) ||
        !agrees(end.offset, offset, 0xffffffff)) {
        return failed("the zip64 end record disagrees with the end record");
    }
    end = End{*at, entries, size, offset, true, end.comment};
    return {};
}

// Replaces the values the central header saturates with the zip64 extra field's, in its order.
bool widen(const Bytes& b, uint64_t at, uint64_t end, ZipEntry& e, uint64_t& offset, uint64_t& disk) {
    if (e.uncompressedSize != 0xffffffff && e.compressedSize != 0xffffffff && offset != 0xffffffff && disk != 0xffff) {
        return true;
    }
    while (end - at >= 4) {
        const uint64_t id = b.u16(at), size = b.u16(at + 2);
        if (end - at - 4 < size) return false;
        if (id == kZip64ExtraId) {
            uint64_t field = at + 4;
            const auto take = [&](uint64_t& value, uint64_t saturated, int width) {
                if (value != saturated) return true;
                if (at + 4 + size - field < static_cast<uint64_t>(width)) return false;
                value = b.field(field, width);
                field += static_cast<uint64_t>(width);
                return true;
            };
            return take(e.uncompressedSize, 0xffffffff, 8) && take(e.compressedSize, 0xffffffff, 8) &&
                   take(offset, 0xffffffff, 8) && take(disk, 0xffff, 4);
        }
        at += 4 + size;
    }
    return false;
}

// Each entry's place in the file and its extent, in file order; an error for entries that
// share or overrun their bytes.
std::string placeEntries(ZipDirectory& d, const std::vector<uint64_t>& recorded) {
    std::vector<size_t> order(d.entries.size());
    std::iota(order.begin(), order.end(), size_t{0});
    for (size_t i = 0; i < d.entries.size(); ++i) {
        if (recorded[i] >= d.directoryOffset - d.shift)
            return "entry " + d.entries[i].name + " lies past the directory";
        d.entries[i].offset = recorded[i] + d.shift;
    }
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return d.entries[a].offset < d.entries[b].offset; });
    d.firstEntry = order.empty() ? d.directoryOffset : d.entries[order.front()].offset;
    for (size_t k = 0; k < order.size(); ++k) {
        ZipEntry& e = d.entries[order[k]];
        e.extentEnd = k + 1 < order.size() ? d.entries[order[k + 1]].offset : d.directoryOffset;
        if (e.extentEnd == e.offset) return "entries " + e.name + " and another share one local header";
        const uint64_t least = kLocalSize + e.name.size();
        if (e.extentLength() < least || e.extentLength() - least < e.compressedSize) {
            return "entry " + e.name + " runs into the next";
        }
    }
    return "";
}

}  // namespace

uint64_t ZipDirectory::unpackedSize() const {
    uint64_t sum = 0;
    for (const ZipEntry& e : entries) {
        if (e.uncompressedSize > std::numeric_limits<uint64_t>::max() - sum)
            return std::numeric_limits<uint64_t>::max();
        sum += e.uncompressedSize;
    }
    return sum;
}

ZipRead readZipDirectory(std::string_view tail, uint64_t fileLength) {
    if (tail.size() > fileLength) return failed("more bytes than the file holds");
    const Bytes b(tail, fileLength - tail.size());
    const std::optional<uint64_t> endAt = findEnd(b, fileLength);
    if (!endAt) {
        const uint64_t wanted = fileLength - std::min(fileLength, kZipEndBytes);
        return b.base() > wanted ? needFrom(wanted) : failed("no end-of-central-directory record: not a zip archive");
    }
    End end{*endAt,
            b.u16(*endAt + 10),
            b.u32(*endAt + 12),
            b.u32(*endAt + 16),
            false,
            b.text(*endAt + kEndSize, b.u16(*endAt + 20))};
    const uint16_t disk = b.u16(*endAt + 4), directoryDisk = b.u16(*endAt + 6), onDisk = b.u16(*endAt + 8);
    const bool saturated = end.entries == 0xffff || end.size == 0xffffffff || end.offset == 0xffffffff ||
                           disk == 0xffff || directoryDisk == 0xffff;
    if (!saturated && (disk != 0 || directoryDisk != 0 || onDisk != end.entries)) return failed("a split archive");
    if (*endAt >= kLocatorSize && !b.holds(*endAt - kLocatorSize, 4)) return needFrom(*endAt - kLocatorSize);
    if (*endAt >= kLocatorSize && b.u32(*endAt - kLocatorSize) == kZip64LocatorSignature) {
        ZipRead zip64 = readZip64(b, *endAt, end);
        if (!zip64.error.empty() || zip64.needFrom) return zip64;
    } else if (saturated) {
        return failed("a zip64 archive without its zip64 end record");
    }

    ZipDirectory d;
    d.fileLength = fileLength;
    d.zip64 = end.zip64;
    d.comment = end.comment;
    d.directorySize = end.size;
    if (end.size > end.at) return failed("the directory is larger than the file before it");
    d.directoryOffset = end.at - end.size;
    if (end.offset > d.directoryOffset) return failed("the directory lies before where the archive says");
    d.shift = d.directoryOffset - end.offset;
    if (end.size > kLargestDirectory || end.entries > end.size / kCentralSize) {
        return failed("the directory cannot hold " + std::to_string(end.entries) + " entries");
    }
    if (!b.holds(d.directoryOffset, end.size)) {
        return b.base() > 0 ? needFrom(d.directoryOffset) : failed("the directory lies outside the file");
    }

    std::vector<uint64_t> recorded;
    d.entries.reserve(end.entries);
    uint64_t at = d.directoryOffset;
    const uint64_t directoryEnd = end.at;
    for (uint64_t i = 0; i < end.entries; ++i) {
        if (directoryEnd - at < kCentralSize || b.u32(at) != kCentralSignature) {
            return failed("central header " + std::to_string(i + 1) + " is damaged");
        }
        const uint64_t nameSize = b.u16(at + 28), extraSize = b.u16(at + 30), commentSize = b.u16(at + 32);
        if (directoryEnd - at - kCentralSize < nameSize + extraSize + commentSize) {
            return failed("central header " + std::to_string(i + 1) + " runs past the directory");
        }
        ZipEntry e;
        e.flags = b.u16(at + 8);
        e.method = b.u16(at + 10);
        e.time = b.u16(at + 12);
        e.date = b.u16(at + 14);
        e.crc32 = b.u32(at + 16);
        e.compressedSize = b.u32(at + 20);
        e.uncompressedSize = b.u32(at + 24);
        e.name = b.text(at + kCentralSize, nameSize);
        uint64_t offset = b.u32(at + 42), startDisk = b.u16(at + 34);
        const uint64_t extra = at + kCentralSize + nameSize;
        if (!widen(b, extra, extra + extraSize, e, offset, startDisk)) {
            return failed("entry " + e.name + ": its zip64 extra field is missing or damaged");
        }
        if (startDisk != 0) return failed("entry " + e.name + " lies on another disk of a split archive");
        recorded.push_back(offset);
        d.entries.push_back(std::move(e));
        at += kCentralSize + nameSize + extraSize + commentSize;
    }
    if (at != directoryEnd) return failed("the directory's size does not match its entries");
    if (std::string why = placeEntries(d, recorded); !why.empty()) return failed(why);
    ZipRead read;
    read.directory = std::move(d);
    return read;
}

ZipRead readZipDirectoryOf(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        return failed("cannot read " + path + ": " + std::strerror(error));
    }
    const auto length = static_cast<uint64_t>(st.st_size);
    // Enough for the end record and a directory of a few hundred entries in one read.
    uint64_t from = length - std::min<uint64_t>(length, kZipEndBytes + (uint64_t{64} << 10));
    for (;;) {
        std::string tail(length - from, '\0');
        for (uint64_t done = 0; done < tail.size();) {
            const ssize_t n = ::pread(fd, tail.data() + done, tail.size() - done, static_cast<off_t>(from + done));
            if (n <= 0 && !(n < 0 && errno == EINTR)) {
                ::close(fd);
                return failed("cannot read " + path + (n == 0 ? ": it is shorter than it was" : ": ") +
                              (n < 0 ? std::strerror(errno) : ""));
            }
            done += n > 0 ? static_cast<uint64_t>(n) : 0;
        }
        ZipRead read = readZipDirectory(tail, length);
        if (!read.needFrom || *read.needFrom >= from) {
            ::close(fd);
            return read.needFrom ? failed("the archive's directory cannot be located") : read;
        }
        if (length - *read.needFrom > kLargestDirectory + kZipEndBytes + kZip64EndSize + kLocatorSize) {
            ::close(fd);
            return failed("the archive's directory is too large");
        }
        from = *read.needFrom;
    }
}

}  // namespace bi
