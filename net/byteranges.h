// A multipart/byteranges body as it arrives, in pieces of any size: each part's bytes handed
// on with their offset in the file, from the part's Content-Range. Strict: a part must say
// its range, hold exactly that many bytes and agree with the others on the file's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace bi::net {

class ByteRangesReader {
public:
    // sink(offset, data, size): false stops the body.
    using Sink = std::function<bool(int64_t offset, const char* data, size_t size)>;
    ByteRangesReader(std::string boundary, Sink sink);

    // False, with why() set, once the bytes do not follow the format or the sink refuses them.
    bool feed(const char* data, size_t size);
    // Whether the closing delimiter has come.
    bool finished() const { return state_ == State::Done; }
    // The length of the whole file that the parts give; -1 before the first part, or when
    // they give "*".
    int64_t fileLength() const { return fileLength_; }
    int parts() const { return parts_; }
    const std::string& why() const { return why_; }

private:
    enum class State { Preamble, Headers, Data, Delimiter, Done, Failed };

    bool line(const std::string& text);
    bool fail(std::string why);

    const std::string delimiter_;  // "--" and the boundary
    Sink sink_;
    State state_ = State::Preamble;
    std::string pending_;   // a line not yet ended
    size_t lineBytes_ = 0;  // outside the parts' data, limited
    int64_t offset_ = -1;   // of the next data byte, once a part's headers said
    int64_t left_ = 0;      // of the part's data
    int64_t fileLength_ = -1;
    bool sawLength_ = false;
    int parts_ = 0;
    bool blankSeen_ = false;
    std::string why_;
};

}  // namespace bi::net
