// Filling the per-user cache so that a crash or a failure at any point never leaves an agent
// that a later run judges current: the stored tag always belongs to the agent beside it.
#pragma once

#include <optional>
#include <string>

// Whether the cache's directories may be trusted: each one below the home directory (or
// /tmp) is a real directory owned by the user and writable by nobody else. When not, `why`
// says what is wrong.
bool isCacheTrusted(std::string* why);

// Drops a stale cached agent: first its tag, then its directory.
void removeCachedAgent();

enum class CacheFill { Filled, ExtractionFailed, CacheNotWritable };

// Extracts archive into a staging directory beside the agent directory; only when that gave
// an "install" does it take the agent directory's place, and only then is tag stored (none
// when there is no tag). Extraction messages go to the console.
CacheFill fillCache(const std::string& archive, const std::optional<std::string>& tag);
