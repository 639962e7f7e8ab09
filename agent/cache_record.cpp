#include "agent/cache_record.h"

#include <cstdlib>
#include <sstream>

#include "host/files.h"

namespace bi {

namespace {

const std::string kFirstLine = "bootstrap-installer cache record 1";

}  // namespace

std::optional<CacheRecord> readCacheRecord(const std::string& path) {
    std::istringstream in(readSmallFile(path, 1 << 20).value_or(""));
    std::string line;
    if (!std::getline(in, line) || line != kFirstLine) return std::nullopt;
    CacheRecord record;
    while (std::getline(in, line)) {
        const auto space = line.find(' ');
        const std::string name = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (name == "url") record.url = value;
        if (name == "tag") record.tag = value;
        if (name == "key") record.keyId = value;
        if (name == "comment") record.trustedComment = value;
        if (name == "stored") record.storedAt = std::strtoll(value.c_str(), nullptr, 10);
        if (name == "length") record.length = std::strtoll(value.c_str(), nullptr, 10);
    }
    return record;
}

bool writeCacheRecord(const std::string& path, const CacheRecord& r, bool durable) {
    for (const std::string* value : {&r.url, &r.tag, &r.keyId, &r.trustedComment}) {
        if (value->find('\n') != std::string::npos) return false;
    }
    return writeFileWhole(path,
                          kFirstLine + "\nurl " + r.url + "\ntag " + r.tag + "\nkey " + r.keyId + "\ncomment " +
                              r.trustedComment + "\nstored " + std::to_string(r.storedAt) + "\nlength " +
                              std::to_string(r.length) + "\n",
                          durable);
}

bool isSendableTag(const std::string& tag) {
    constexpr size_t kLongest = 1024;
    if (tag.empty() || tag.size() > kLongest) return false;
    for (const char c : tag) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f) return false;
    }
    return true;
}

bool isStrongTag(const std::string& tag) { return isSendableTag(tag) && !tag.starts_with("W/"); }

}  // namespace bi
