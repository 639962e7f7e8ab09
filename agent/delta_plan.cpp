#include "agent/delta_plan.h"

#include <algorithm>
#include <map>
#include <string>
#include <tuple>

namespace bi {

namespace {

// About what a multipart answer adds per part: a boundary line, its Content-Type and its
// Content-Range.
constexpr uint64_t kPartHeaders = 128;
constexpr uint64_t kFewestRoundTripBytes = 16 << 10;
constexpr uint64_t kMostRoundTripBytes = 8 << 20;
// Where nothing was measured: a link of 25 Mbit/s and 40 ms.
constexpr uint64_t kUnmeasuredRoundTripBytes = 128 << 10;
// The proof reads the whole result once: about a fiftieth of fetching it.
constexpr uint64_t kProofShare = 50;

using Key = std::tuple<std::string, uint32_t, uint64_t, uint64_t, uint16_t, uint16_t, uint16_t, uint16_t, uint64_t>;

Key keyOf(const ZipEntry& e) {
    return {e.name, e.crc32, e.compressedSize, e.uncompressedSize, e.method, e.flags, e.time, e.date, e.extentLength()};
}

std::vector<Span> sortedMerged(std::vector<Span> spans) {
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.offset < b.offset; });
    std::vector<Span> merged;
    for (const Span& s : spans) {
        if (s.length == 0) continue;
        if (!merged.empty() && s.offset <= merged.back().end()) {
            merged.back().length = std::max(merged.back().end(), s.end()) - merged.back().offset;
        } else {
            merged.push_back(s);
        }
    }
    return merged;
}

}  // namespace

uint64_t roundTripBytes(const Link& link) {
    if (link.bytesPerSecond <= 0 || link.roundTripSeconds <= 0) return kUnmeasuredRoundTripBytes;
    const double bytes = link.bytesPerSecond * link.roundTripSeconds;
    if (bytes >= static_cast<double>(kMostRoundTripBytes)) return kMostRoundTripBytes;
    return std::max(kFewestRoundTripBytes, static_cast<uint64_t>(bytes));
}

uint64_t gapWorthFetching(const Link& link) {
    if (!link.severalRangesARequest) return roundTripBytes(link);
    return kPartHeaders + roundTripBytes(link) / kRangesPerRequest;
}

uint64_t tailToAsk(uint64_t oldDirectorySize) {
    constexpr uint64_t kZip64Records = 56 + 20;
    return kZipEndBytes + kZip64Records + oldDirectorySize + oldDirectorySize / 8;
}

std::vector<Span> missing(const std::vector<Span>& wanted, std::vector<Span> got) {
    got = sortedMerged(std::move(got));
    std::vector<Span> left;
    for (const Span& w : sortedMerged(wanted)) {
        uint64_t at = w.offset;
        for (const Span& g : got) {
            if (g.end() <= at || g.offset >= w.end()) continue;
            if (g.offset > at) left.push_back({at, g.offset - at});
            at = std::max(at, g.end());
        }
        if (at < w.end()) left.push_back({at, w.end() - at});
    }
    return left;
}

DeltaPlan planDelta(const ZipDirectory& old, const ZipDirectory& fresh, const std::vector<Span>& held, uint64_t gap) {
    // The first of equal entries serves for all: their bytes are the same as far as the
    // directory can tell, and the proof checks the rest.
    std::map<Key, uint64_t> oldByKey;
    for (const ZipEntry& e : old.entries) oldByKey.emplace(keyOf(e), e.offset);

    std::vector<Span> wanted;
    std::vector<Reuse> reuse;
    if (fresh.firstEntry > 0) wanted.push_back({0, fresh.firstEntry});
    for (const ZipEntry& e : fresh.entries) {
        const auto found = oldByKey.find(keyOf(e));
        if (found == oldByKey.end()) {
            wanted.push_back({e.offset, e.extentLength()});
        } else {
            reuse.push_back({found->second, e.offset, e.extentLength()});
        }
    }
    wanted.push_back({fresh.directoryOffset, fresh.fileLength - fresh.directoryOffset});

    // Neighbours, and wanted extents a small gap apart, become one.
    std::vector<Span> merged;
    for (const Span& s : sortedMerged(wanted)) {
        if (!merged.empty() && s.offset - merged.back().end() < gap) {
            merged.back().length = s.end() - merged.back().offset;
        } else {
            merged.push_back(s);
        }
    }
    DeltaPlan plan;
    plan.fetch = missing(merged, held);

    // What is fetched or held need not be copied.
    std::vector<Span> covered = plan.fetch;
    covered.insert(covered.end(), held.begin(), held.end());
    std::sort(reuse.begin(), reuse.end(), [](const Reuse& a, const Reuse& b) { return a.to < b.to; });
    for (const Reuse& r : reuse) {
        const std::vector<Span> left = missing({{r.to, r.length}}, covered);
        for (const Span& s : left) plan.reuse.push_back({r.from + (s.offset - r.to), s.offset, s.length});
        if (!left.empty()) ++plan.reusedEntries;
    }
    plan.fetchedEntries = fresh.entries.size() - plan.reusedEntries;
    for (const Reuse& r : plan.reuse) plan.reusedBytes += r.length;
    for (const Span& s : plan.fetch) plan.fetchBytes += s.length;
    return plan;
}

std::vector<std::vector<Span>> requestsFor(const std::vector<Span>& fetch, size_t ranges) {
    std::vector<std::vector<Span>> requests;
    for (const Span& s : fetch) {
        if (requests.empty() || requests.back().size() >= std::max<size_t>(ranges, 1)) requests.emplace_back();
        requests.back().push_back(s);
    }
    return requests;
}

bool deltaPays(const DeltaPlan& plan, uint64_t fileLength, const Link& link) {
    const size_t ranges = link.severalRangesARequest ? kRangesPerRequest : 1;
    const uint64_t requests = requestsFor(plan.fetch, ranges).size();
    return plan.reusedBytes > requests * roundTripBytes(link) + fileLength / kProofShare;
}

}  // namespace bi
