// Judging and filling the per-user cache, soundly against crashes and other installers:
// - the stored tag always belongs to the agent beside it, so a crash or a failure at any
//   point never leaves an agent that a later run judges current;
// - an agent is replaced only under the cache's exclusive lock, which nobody gets while an
//   installer judges the agent or runs it (they hold the shared lock).
#pragma once

#include <functional>
#include <optional>
#include <string>

// Whether the cache's directories may be trusted: each one below the home directory (or
// /tmp) is a real directory owned by the user and writable by nobody else. When not, `why`
// says what is wrong.
bool isCacheTrusted(std::string* why);

// How to wait while another installer holds the cache.
struct CacheWait {
    std::function<void()> waiting;  // once, when the wait begins
    std::function<bool()> giveUp;   // polled; true ends the wait (and an extraction)
};

enum class CacheJudgement { Current, Stale, Empty, GaveUp };

// Judges the cached agent against the server's tag. Current keeps the shared lock, so the
// agent stays as it is until this process ends. A stale agent is dropped at once when no
// other installer uses the cache; otherwise the fill replaces it later.
CacheJudgement judgeCache(const std::optional<std::string>& tag, const CacheWait& wait);

enum class CacheFill { Filled, ExtractionFailed, CacheNotWritable, GaveUp };

// Extracts archive into a staging directory beside the agent directory; only when that gave
// an "install" does it take the agent directory's place, and only then is the tag stored
// (none without a tag). When another installer has meanwhile filled the cache with the same
// tag, that agent is used. Filled keeps the shared lock. Extraction messages go to the console.
CacheFill fillCache(const std::string& archive, const std::optional<std::string>& tag, const CacheWait& wait);
