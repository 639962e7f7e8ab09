// Which bytes of a new archive an update takes from the archive the cache kept and which it asks
// the server for, from the two archives' directories. Pure: no file, no clock, no network.
//
// An entry is reused when its name, CRC-32, both sizes, method, flags, time and date are equal
// in both archives and its extent has the same length; the extent is then copied whole, local
// header and data descriptor included. Everything else (changed entries, a stub before the
// first entry, the directory) is fetched, neighbouring extents merged, and a gap between two
// wanted extents fetched when it costs less than asking apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "agent/zip_directory.h"

namespace bi {

struct Span {
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t end() const { return offset + length; }
    bool operator==(const Span&) const = default;
};

// Bytes copied from the old archive at `from` to the new one at `to`.
struct Reuse {
    uint64_t from = 0;
    uint64_t to = 0;
    uint64_t length = 0;
    bool operator==(const Reuse&) const = default;
};

struct DeltaPlan {
    std::vector<Reuse> reuse;  // in the new archive's order
    std::vector<Span> fetch;   // in order, apart from one another and from what is held
    size_t reusedEntries = 0;  // entries whose bytes come (at least partly) from the old archive
    size_t fetchedEntries = 0;
    uint64_t reusedBytes = 0;
    uint64_t fetchBytes = 0;
};

// The link as the first answer showed it.
struct Link {
    double roundTripSeconds = 0;  // from the request to the answer's first byte
    // The answer's body over the whole request's time, its first byte's wait included, so that
    // a body that arrived in one piece (on a busy machine, say) cannot make the link look
    // faster than it is: a round trip's worth is then never more than that body. 0: unknown.
    double bytesPerSecond = 0;
    bool severalRangesARequest = true;
};

// The most ranges asked for in one request: servers limit the header's length and the number
// of parts (Apache answers more than 200 with the whole file).
inline constexpr size_t kRangesPerRequest = 100;

// What a round trip costs, in bytes the link could have carried meanwhile.
uint64_t roundTripBytes(const Link& link);

// The largest gap between two wanted extents that is fetched with them: a round trip's worth
// where each range is a request, else what a part's headers and a share of a request cost.
uint64_t gapWorthFetching(const Link& link);

// How much of the new archive's end to ask for first: the end record with the longest comment,
// and room for a directory somewhat larger than the old one's (0 for none).
uint64_t tailToAsk(uint64_t oldDirectorySize);

// held: spans of the new archive already in hand (its tail).
DeltaPlan planDelta(const ZipDirectory& old, const ZipDirectory& fresh, const std::vector<Span>& held, uint64_t gap);

// The spans as requests: at most `ranges` spans each (1 for a server that answers one range a
// request), in order.
std::vector<std::vector<Span>> requestsFor(const std::vector<Span>& fetch, size_t ranges);

// Whether the update costs less than the whole archive: what it reuses outweighs its extra
// requests and the pass over the result that proves it.
bool deltaPays(const DeltaPlan& plan, uint64_t fileLength, const Link& link);

// What of `wanted` `got` does not cover, in order: what is left to ask for after an answer
// that brought only some ranges, or stopped in the middle of one.
std::vector<Span> missing(const std::vector<Span>& wanted, std::vector<Span> got);

}  // namespace bi
