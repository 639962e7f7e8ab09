#include "agent/cache_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>


namespace {

const std::string kFirstLine = "bootstrap-installer cache record 1";

std::string readAll(const std::string& path) {
    std::string data;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return data;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0 && data.size() < (1 << 20);) data.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return data;
}

}  // namespace

std::optional<CacheRecord> readCacheRecord(const std::string& path) {
    std::istringstream in(readAll(path));
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
    return writeFileWhole(path, kFirstLine + "\nurl " + r.url + "\ntag " + r.tag + "\nkey " + r.keyId + "\ncomment " +
                             r.trustedComment + "\nstored " + std::to_string(r.storedAt) + "\nlength " +
                             std::to_string(r.length) + "\n", durable);
}

bool writeFileWhole(const std::string& path, const std::string& text, bool durable) {
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = (!durable || ::fsync(fd) == 0) && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
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
