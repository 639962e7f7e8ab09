// The cache's files as an earlier run (or anyone) may have left them: the input is the record
// file and the tag file both. A record reads back as it is written; a tag judges the cache
// current only for the very tag stored; no tag sent back can split a request header.
#include <unistd.h>

#include <tuple>

#include "agent/cache.h"
#include "agent/cache_record.h"
#include "fuzz.h"
#include "host/constants.h"

using namespace bi;

static auto fields(const AgentRecord& r) {
    return std::make_tuple(r.url, r.tag, r.keyId, r.trustedComment, r.storedAt, r.hash, r.signature);
}

FUZZ_TARGET(data) {
    const std::string& dir = fuzz::scratch();
    const std::string record = dir + "/record", again = dir + "/again", tagFile = dir + "/" + VALIDATION_STRING_FILE;
    fuzz::writeFile(record, data);
    if (const auto read = readAgentRecord(record)) {
        ::unlink(again.c_str());
        FUZZ_CHECK(writeAgentRecord(again, *read, false), read->url);
        const auto back = readAgentRecord(again);
        FUZZ_CHECK(back && fields(*back) == fields(*read), read->url);
        const std::string& tag = read->tag;
        FUZZ_CHECK(!isSendableTag(tag) || tag.find_first_of(std::string("\r\n\0", 3)) == std::string::npos, tag);
        FUZZ_CHECK(!isStrongTag(tag) || (isSendableTag(tag) && !tag.starts_with("W/")), tag);
    }

    fuzz::writeFile(tagFile, data);
    const std::string first = data.substr(0, data.find('\n'));
    const bool stored = !first.empty() && (data == first || data == first + "\n");
    FUZZ_CHECK(isCacheValid(dir, first) == stored, first);
    FUZZ_CHECK(!isCacheValid(dir, data) || stored, data);
    FUZZ_CHECK(!isCacheValid(dir, first + "x"), first);
}
