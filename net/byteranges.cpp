#include "net/byteranges.h"

#include <strings.h>

#include <cstring>

#include "net/http_response.h"

namespace bi::net {

namespace {

// The bytes outside the data that a preamble or one part's headers may take.
constexpr size_t kMostHeaderBytes = 8 << 10;

}  // namespace

ByteRangesReader::ByteRangesReader(std::string boundary, Sink sink)
    : delimiter_("--" + std::move(boundary)), sink_(std::move(sink)) {}

bool ByteRangesReader::fail(std::string why) {
    state_ = State::Failed;
    why_ = std::move(why);
    return false;
}

bool ByteRangesReader::feed(const char* data, size_t size) {
    for (size_t at = 0; at < size;) {
        if (state_ == State::Failed) return false;
        if (state_ == State::Done) return true;  // an epilogue, ignored
        if (state_ == State::Data) {
            const size_t n = static_cast<size_t>(std::min<int64_t>(left_, static_cast<int64_t>(size - at)));
            if (!sink_(offset_, data + at, n)) return fail("the part's bytes could not be written");
            offset_ += static_cast<int64_t>(n);
            left_ -= static_cast<int64_t>(n);
            at += n;
            if (left_ == 0) {
                state_ = State::Delimiter;
                blankSeen_ = false;
            }
            continue;
        }
        const auto* feedAt = static_cast<const char*>(std::memchr(data + at, '\n', size - at));
        const size_t end = feedAt != nullptr ? static_cast<size_t>(feedAt - data) + 1 : size;
        pending_.append(data + at, end - at);
        lineBytes_ += end - at;
        at = end;
        if (lineBytes_ > kMostHeaderBytes)
            return fail("more than " + std::to_string(kMostHeaderBytes) + " bytes of headers");
        if (feedAt == nullptr) break;
        std::string text;
        text.swap(pending_);
        while (!text.empty() &&
               (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
            text.pop_back();
        if (!line(text)) return false;
    }
    return state_ != State::Failed;
}

bool ByteRangesReader::line(const std::string& text) {
    switch (state_) {
        case State::Preamble:
            if (text == delimiter_ + "--") return fail("an answer of no parts");
            if (text == delimiter_) state_ = State::Headers;
            return true;
        case State::Headers: {
            if (text.empty()) {
                if (offset_ < 0) return fail("a part without a Content-Range");
                state_ = State::Data;
                ++parts_;
                lineBytes_ = 0;
                return true;
            }
            if (::strncasecmp(text.c_str(), "Content-Range:", 14) != 0) return true;
            const auto range = parseContentRange(text.substr(14));
            if (!range) return fail("a part's Content-Range is not a range: " + text.substr(0, 80));
            if (sawLength_ && range->total != fileLength_) return fail("the parts disagree on the file's length");
            sawLength_ = true;
            fileLength_ = range->total;
            offset_ = range->first;
            left_ = range->last - range->first + 1;
            return true;
        }
        case State::Delimiter:
            if (text.empty() && !blankSeen_) {  // the line end before the delimiter belongs to it
                blankSeen_ = true;
                return true;
            }
            if (text == delimiter_ + "--") {
                state_ = State::Done;
            } else if (text == delimiter_) {
                state_ = State::Headers;
                offset_ = -1;
            } else {
                return fail("a part is longer than its Content-Range");
            }
            return true;
        default:
            return false;
    }
}

}  // namespace bi::net
