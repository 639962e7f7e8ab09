#include "agent/cache.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "agent/url_file.h"
#include "host/constants.h"

namespace bi {

std::string getInstallAgentCacheDir() {
    const char* home = std::getenv("HOME");
    std::string dir = (home != nullptr && *home != '\0') ? home : "/tmp";
    if (dir.size() >= 2 && dir.back() != '/') dir += PATH_SEPARATOR;
    return dir + INSTALL_AGENT_CACHE_PATH;
}

std::string getInstallAgentExecutable(std::string dir) {
    if (!dir.empty() && dir.back() != '/') dir += PATH_SEPARATOR;
    return dir + "install";
}

// A link would be followed wherever it points, /bin/sh say, which then runs as the agent.
bool holdsInstallAgent(const std::string& dir) {
    struct stat st {};
    return ::lstat(getInstallAgentExecutable(dir).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string cachedAgentDirectory() { return getInstallAgentCacheDir() + INSTALL_AGENT_DIR_NAME + PATH_SEPARATOR; }

std::string installAgentDirOnDisk() {
    std::string agentDir = cachedAgentDirectory();
    return holdsInstallAgent(agentDir) ? agentDir : "";
}

bool isCacheValid(const std::string& dir, const std::string& validationString) {
    if (validationString.empty()) return false;
    const std::string path = dir + PATH_SEPARATOR + VALIDATION_STRING_FILE;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    const std::string stored = readFirstLine(file);
    // A tag that does not fit on one line cannot have been stored whole: never current.
    const bool oneLine = std::fgetc(file) == EOF;
    std::fclose(file);
    return oneLine && validationString.find('\n') == std::string::npos && stored == validationString;
}

}  // namespace bi
