#include "agent/cache_record.h"

#include <cstdlib>
#include <sstream>

#include "host/files.h"

namespace bi {

namespace {

const std::string kFirstLine = "bootstrap-installer cache record 1";

// A signature's lines on one line of the record.
std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '\n') out += '\\';
        out += c == '\n' ? 'n' : c;
    }
    return out;
}

std::string unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
            out += text[i] == 'n' ? '\n' : text[i];
        } else {
            out += text[i];
        }
    }
    return out;
}

// Both records share one file format: a line per field, each record with every field.
struct Fields {
    std::string url, tag, keyId, trustedComment;
    int64_t storedAt = 0;
    int64_t length = -1;
    std::string hash, signature;
};

std::optional<Fields> readFields(const std::string& path) {
    std::istringstream in(readSmallFile(path, 1 << 20).value_or(""));
    std::string line;
    if (!std::getline(in, line) || line != kFirstLine) return std::nullopt;
    Fields record;
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
        if (name == "hash") record.hash = value;
        if (name == "signature") record.signature = unescaped(value);
    }
    return record;
}

bool writeFields(const std::string& path, const Fields& r, bool durable) {
    for (const std::string* value : {&r.url, &r.tag, &r.keyId, &r.trustedComment, &r.hash}) {
        if (value->find('\n') != std::string::npos) return false;
    }
    return writeFileWhole(path,
                          kFirstLine + "\nurl " + r.url + "\ntag " + r.tag + "\nkey " + r.keyId + "\ncomment " +
                              r.trustedComment + "\nstored " + std::to_string(r.storedAt) + "\nlength " +
                              std::to_string(r.length) + "\nhash " + r.hash + "\nsignature " + escaped(r.signature) +
                              "\n",
                          durable);
}

}  // namespace

std::optional<AgentRecord> readAgentRecord(const std::string& path) {
    auto f = readFields(path);
    if (!f) return std::nullopt;
    return AgentRecord{f->url, f->tag, f->keyId, f->trustedComment, f->storedAt, f->hash, f->signature};
}

std::optional<PartialRecord> readPartialRecord(const std::string& path) {
    auto f = readFields(path);
    if (!f) return std::nullopt;
    return PartialRecord{f->url, f->tag, f->storedAt, f->length};
}

bool writeAgentRecord(const std::string& path, const AgentRecord& r, bool durable) {
    return writeFields(path, Fields{r.url, r.tag, r.keyId, r.trustedComment, r.storedAt, -1, r.hash, r.signature},
                       durable);
}

bool writePartialRecord(const std::string& path, const PartialRecord& r, bool durable) {
    return writeFields(path, Fields{r.url, r.tag, "", "", r.storedAt, r.length, "", ""}, durable);
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
