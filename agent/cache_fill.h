// Judging and filling the per-user cache, soundly against crashes and other installers:
// - the stored tag and record always belong to the agent beside them, so a crash or a
//   failure at any point never leaves an agent that a later run judges current;
// - an agent is current only for the URL it came from, with the tag it came with, and for
//   a signed bundle only when it was verified with the bundle's key;
// - an agent is replaced only under the cache's exclusive lock, which nobody gets while an
//   installer judges the agent or runs it (they hold the shared lock).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "agent/cache_record.h"

namespace bi {

// Whether the cache's directories may be trusted: the home directory (or /tmp) and those
// above it are the user's or root's, and each one below it is a real directory owned by the
// user and writable by nobody else. When not, `why` says what is wrong.
bool isCacheTrusted(std::string* why);

// Makes the cache's missing directories, without following links, once those that exist
// have passed isCacheTrusted's judgement; in a cache that is not trusted nothing is made.
bool prepareCache(std::string* why);

// How to wait while another installer holds the cache.
struct CacheWait {
    std::function<void()> waiting;  // once, when the wait begins
    std::function<bool()> giveUp;   // polled; true ends the wait (and an extraction)
};

// The agent a bundle wants.
struct AgentIdentity {
    std::string url;                 // as the bundle gives it
    std::optional<std::string> tag;  // the server's "ETag"; without one nothing is current
    std::string keyId;               // the bundle's key; "" for an unsigned bundle
};

enum class CacheJudgement { Current, Stale, Empty, GaveUp };

// Judges the cached agent. Current keeps the shared lock, so the agent stays as it is until
// this process ends. For an unsigned bundle a stale agent is dropped at once when no other
// installer uses the cache; a signed bundle keeps it until a verified one replaces it, so
// that it can tell a rollback and start it offline.
CacheJudgement judgeCache(const AgentIdentity& wanted, const CacheWait& wait);

// The cached agent's record, when an agent is cached whole.
std::optional<AgentRecord> cachedAgentRecord();

// Takes the shared lock on the cached agent when one is cached whole; its record then, which
// the caller judges (and lets go of the lock when it does not want that agent).
std::optional<AgentRecord> holdCachedAgent(const CacheWait& wait);

enum class CacheFill { Filled, ExtractionFailed, DiskFull, CacheNotWritable, GaveUp };

// Extracts archive into a staging directory beside the agent directory; only when that gave
// an "install" does it take the agent directory's place, and only then are the record and
// the tag stored (no tag without one). When another installer has meanwhile filled the cache
// with the same agent, that one is used. Filled keeps the shared lock.
CacheFill fillCache(const std::string& archive, const AgentRecord& record, const CacheWait& wait);

}  // namespace bi
