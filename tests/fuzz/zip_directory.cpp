// Any bytes as the end of a zip archive (the first byte says how many more lie before them):
// a directory read from them has extents that tile the entries' part of the file, the archive
// as its own update reuses every entry, and the proof of the whole file neither crashes nor
// reads outside it.
#include <algorithm>

#include "agent/delta_assembly.h"
#include "agent/delta_plan.h"
#include "agent/zip_directory.h"
#include "fuzz.h"

using namespace bi;

FUZZ_TARGET(data) {
    const uint64_t before = data.empty() ? 0 : uint64_t{static_cast<unsigned char>(data[0])} * 64;
    const std::string_view tail = std::string_view(data).substr(data.empty() ? 0 : 1);
    const uint64_t length = before + tail.size();
    const ZipRead read = readZipDirectory(tail, length);
    FUZZ_CHECK(int{read.directory.has_value()} + int{read.needFrom.has_value()} + int{!read.error.empty()} == 1,
               read.error);
    FUZZ_CHECK(read.needFrom.value_or(0) < before || !read.needFrom, std::to_string(*read.needFrom));
    if (!read.directory) return;
    const ZipDirectory& d = *read.directory;
    FUZZ_CHECK(d.directoryOffset >= before && d.directorySize <= length - d.directoryOffset, "directory outside");

    std::vector<ZipEntry> byOffset = d.entries;
    std::sort(byOffset.begin(), byOffset.end(),
              [](const ZipEntry& a, const ZipEntry& b) { return a.offset < b.offset; });
    uint64_t at = d.firstEntry;
    for (const ZipEntry& e : byOffset) {
        FUZZ_CHECK(
            e.offset == at && e.extentEnd > e.offset && e.extentLength() >= 30 + e.name.size() + e.compressedSize,
            e.name);
        at = e.extentEnd;
    }
    FUZZ_CHECK(at == d.directoryOffset, "extents end before the directory");

    const DeltaPlan same = planDelta(d, d, {}, 0);
    FUZZ_CHECK(same.fetchedEntries == 0 && same.fetchBytes == d.firstEntry + (length - d.directoryOffset),
               std::to_string(same.fetchBytes));
    const DeltaPlan held = planDelta(d, d, {{0, length}}, 1 << 20);
    FUZZ_CHECK(held.reuse.empty() && held.fetch.empty(), "held bytes asked for again");

    if (before > 0) return;
    const std::string path = fuzz::scratch() + "/archive.zip";
    fuzz::writeFile(path, std::string(tail));
    const Proof proof = proveArchive(path, d);
    FUZZ_CHECK(proof.ok || !proof.why.empty(), "unproven without a reason");
}
