#pragma once

#include <string>

namespace bi {

// The per-user cache: $HOME (or /tmp) + INSTALL_AGENT_CACHE_PATH, ending in "/".
std::string getInstallAgentCacheDir();
// dir + "/" (unless it ends in one, or is empty) + "install".
std::string getInstallAgentExecutable(std::string dir);
// Whether dir holds an extracted agent: its "install" is a regular file, not a link.
bool holdsInstallAgent(const std::string& dir);
// The cache's agent directory with a trailing "/" when it holds an agent, else "".
std::string installAgentDirOnDisk();
// The cache's agent directory, with a trailing "/", whether or not an agent is there.
std::string cachedAgentDirectory();
// Whether dir's validation string file holds validationString; never for an empty one.
bool isCacheValid(const std::string& dir, const std::string& validationString);

}  // namespace bi
