// What the cache knows about the agent it holds and about a partial download: where it came
// from and with which tag, and for a signed agent the key and trusted comment it was
// verified with. A file of its own beside the tag file, which keeps its old format for other
// builds of the installer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace bi {

// The cached agent's record.
struct AgentRecord {
    std::string url;             // as the bundle gives it
    std::string tag;             // the "ETag" it came with; "" for none
    std::string keyId;           // the key it was verified with, in hex; "" when not verified
    std::string trustedComment;  // of its signature
    int64_t storedAt = 0;        // seconds since the epoch
    std::string hash;            // of a signed agent's archive: BLAKE2b-512 in hex; "" when unknown
    std::string signature;       // of a signed agent's archive: the .minisig file's text
};

// A partial download's record.
struct PartialRecord {
    std::string url;       // as the bundle gives it
    std::string tag;       // the "ETag" of the archive; "" for none
    int64_t storedAt = 0;  // seconds since the epoch
    int64_t length = -1;   // the whole archive's; -1 when unknown
};

// nullopt when the file is missing or not a record of ours.
std::optional<AgentRecord> readAgentRecord(const std::string& path);
std::optional<PartialRecord> readPartialRecord(const std::string& path);

// Through a temporary file beside it, renamed, so that a reader sees all or nothing; synced
// first when `durable`. False (and nothing written) when a value holds a line feed or writing
// fails.
bool writeAgentRecord(const std::string& path, const AgentRecord& record, bool durable = true);
bool writePartialRecord(const std::string& path, const PartialRecord& record, bool durable = true);

// Whether a tag may be sent back in a request header: servers refuse long headers and
// control bytes, so such a tag is only ever compared with the response's.
bool isSendableTag(const std::string& tag);

// A strong tag lets a download resume: a weak one ("W/...") promises no identical bytes.
bool isStrongTag(const std::string& tag);

}  // namespace bi
