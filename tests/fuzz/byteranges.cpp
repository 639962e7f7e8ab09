// A multipart/byteranges body as any bytes (the first byte gives the size of the pieces it
// arrives in): the parts read are the same whatever the pieces, and every byte handed on lies
// within the file's stated length.
#include <vector>

#include "fuzz.h"
#include "net/byteranges.h"

using namespace bi;

namespace {

struct Read {
    std::vector<std::pair<int64_t, std::string>> runs;  // placed bytes, neighbours joined
    bool ok = true, finished = false;
    int64_t length = -1;
};

Read readIn(const std::string& body, size_t piece) {
    Read r;
    net::ByteRangesReader reader("B0undary", [&](int64_t offset, const char* data, size_t size) {
        FUZZ_CHECK(
            offset >= 0 && (reader.fileLength() < 0 || offset + static_cast<int64_t>(size) <= reader.fileLength()),
            std::to_string(offset));
        if (r.runs.empty() || r.runs.back().first + static_cast<int64_t>(r.runs.back().second.size()) != offset)
            r.runs.emplace_back(offset, "");
        r.runs.back().second.append(data, size);
        return true;
    });
    for (size_t at = 0; at < body.size() && r.ok; at += piece)
        r.ok = reader.feed(body.data() + at, std::min(piece, body.size() - at));
    r.finished = reader.finished();
    r.length = reader.fileLength();
    return r;
}

}  // namespace

FUZZ_TARGET(data) {
    if (data.empty()) return;
    const size_t piece = 1 + static_cast<unsigned char>(data[0]) % 17;
    const std::string body = data.substr(1);
    const Read whole = readIn(body, body.size() + 1), pieces = readIn(body, piece);
    FUZZ_CHECK(whole.ok == pieces.ok && whole.finished == pieces.finished && whole.length == pieces.length, body);
    FUZZ_CHECK(whole.runs == pieces.runs, body);
}
