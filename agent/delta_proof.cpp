// The proof of an assembled archive: every entry read back as unzip reads it, through its
// local header, and inflated to its CRC-32.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>

#include "agent/delta_assembly.h"

namespace bi {

namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint64_t kLocalSize = 30;
constexpr size_t kBlock = size_t{256} << 10;
constexpr uint16_t kEncrypted = 1;

Proof unproven(std::string why, const ZipEntry* entry = nullptr) {
    Proof p;
    p.why = std::move(why);
    if (entry != nullptr) {
        p.entry = entry->name;
        p.offset = entry->offset;
        p.why = "entry " + entry->name + ": " + p.why;
    }
    return p;
}

uint64_t le(const unsigned char* at, int size) {
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

bool readAt(int fd, void* into, size_t size, uint64_t offset) {
    auto* bytes = static_cast<char*>(into);
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool sameEntries(const ZipDirectory& a, const ZipDirectory& b) {
    const auto same = [](const ZipEntry& x, const ZipEntry& y) {
        return x.name == y.name && x.crc32 == y.crc32 && x.compressedSize == y.compressedSize &&
               x.uncompressedSize == y.uncompressedSize && x.method == y.method && x.flags == y.flags &&
               x.time == y.time && x.date == y.date && x.offset == y.offset && x.extentEnd == y.extentEnd;
    };
    return a.entries.size() == b.entries.size() && a.directoryOffset == b.directoryOffset &&
           std::equal(a.entries.begin(), a.entries.end(), b.entries.begin(), same);
}

// The entry's data, from `start`, stored or inflated: its CRC-32 and size as written out.
struct Unpacked {
    bool ok = false;
    uint32_t crc = 0;
    uint64_t size = 0;
    std::string why;
};

Unpacked unpack(int fd, const ZipEntry& e, uint64_t start) {
    Unpacked u;
    std::string in(static_cast<size_t>(std::min<uint64_t>(kBlock, std::max<uint64_t>(e.compressedSize, 1))), '\0');
    std::string out(e.method == 8 ? kBlock : 0, '\0');
    z_stream z{};
    if (e.method == 8 && ::inflateInit2(&z, -MAX_WBITS) != Z_OK) return {false, 0, 0, "cannot inflate"};
    uLong crc = ::crc32(0, nullptr, 0);
    int status = Z_OK;
    for (uint64_t done = 0; done < e.compressedSize && status == Z_OK && u.why.empty();) {
        const auto n = static_cast<uInt>(std::min<uint64_t>(in.size(), e.compressedSize - done));
        if (!readAt(fd, in.data(), n, start + done)) {
            u.why = "cannot read its data";
            break;
        }
        done += n;
        if (e.method == 0) {
            crc = ::crc32(crc, reinterpret_cast<const Bytef*>(in.data()), n);
            u.size += n;
            continue;
        }
        z.next_in = reinterpret_cast<Bytef*>(in.data());
        z.avail_in = n;
        do {  // as long as inflate fills the output, more of it may be waiting
            z.next_out = reinterpret_cast<Bytef*>(out.data());
            z.avail_out = static_cast<uInt>(out.size());
            status = ::inflate(&z, Z_NO_FLUSH);
            const auto produced = static_cast<uInt>(out.size() - z.avail_out);
            crc = ::crc32(crc, reinterpret_cast<const Bytef*>(out.data()), produced);
            u.size += produced;
            // A bomb stops here: no more than the directory's size is ever unpacked.
            if (u.size > e.uncompressedSize) u.why = "it unpacks to more than its size";
        } while (z.avail_out == 0 && status == Z_OK && u.why.empty());
        if (status == Z_BUF_ERROR) status = Z_OK;  // the input ran out: the next block goes on
    }
    if (e.method == 8) {
        ::inflateEnd(&z);
        if (u.why.empty() && status != Z_STREAM_END) u.why = "its deflated data is damaged or cut short";
    }
    u.crc = static_cast<uint32_t>(crc);
    u.ok = u.why.empty();
    return u;
}

Proof proveEntry(int fd, const ZipEntry& e) {
    unsigned char header[kLocalSize];
    if (!readAt(fd, header, sizeof header, e.offset) || le(header, 4) != kLocalSignature) {
        return unproven("no local header where the directory says", &e);
    }
    const uint64_t nameSize = le(header + 26, 2), extraSize = le(header + 28, 2);
    std::string name(nameSize, '\0');
    if (nameSize != e.name.size() || !readAt(fd, name.data(), nameSize, e.offset + kLocalSize) || name != e.name) {
        return unproven("its local header names another file", &e);
    }
    const uint64_t start = e.offset + kLocalSize + nameSize + extraSize;
    if (start > e.extentEnd || e.extentEnd - start < e.compressedSize)
        return unproven("its data runs past its extent", &e);
    if ((e.flags & kEncrypted) != 0) return unproven("it is encrypted", &e);
    if (e.method != 0 && e.method != 8)
        return unproven("its method " + std::to_string(e.method) + " is not checked", &e);
    const Unpacked u = unpack(fd, e, start);
    if (!u.ok) return unproven(u.why, &e);
    if (u.size != e.uncompressedSize || u.crc != e.crc32) {
        char found[64];
        std::snprintf(found, sizeof found, "CRC-32 %08x over %llu bytes, not %08x over %llu", u.crc,
                      static_cast<unsigned long long>(u.size), e.crc32,
                      static_cast<unsigned long long>(e.uncompressedSize));
        return unproven(found, &e);
    }
    return {true, "", "", 0};
}

}  // namespace

Proof proveArchive(const std::string& path, const ZipDirectory& expected, const std::function<bool()>& cancelled) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        return unproven("cannot read " + path + ": " + std::strerror(error));
    }
    Proof result{true, "", "", 0};
    if (static_cast<uint64_t>(st.st_size) != expected.fileLength) {
        result =
            unproven("it is " + std::to_string(st.st_size) + " bytes long, not " + std::to_string(expected.fileLength));
    } else if (const ZipRead read = readZipDirectoryOf(path); !read.directory) {
        result = unproven("its directory cannot be read: " + read.error);
    } else if (!sameEntries(*read.directory, expected)) {
        result = unproven("its directory is not the server's");
    } else {
        // In file order, so that the file is read from start to end.
        std::vector<size_t> order(expected.entries.size());
        std::iota(order.begin(), order.end(), size_t{0});
        std::sort(order.begin(), order.end(),
                  [&](size_t a, size_t b) { return expected.entries[a].offset < expected.entries[b].offset; });
        for (const size_t i : order) {
            if (cancelled && cancelled()) {
                result = unproven("cancelled");
                break;
            }
            if (result = proveEntry(fd, expected.entries[i]); !result.ok) break;
        }
    }
    ::close(fd);
    return result;
}

}  // namespace bi
