#include "host/locations.h"

#include <sys/stat.h>

#include <cerrno>

#include "host/constants.h"
#include "platform/bundle.h"

namespace bi {

std::string getPathToExecutable() {
    if (const auto bundle = platform::runningBundle()) return bundle->bundleDir;
    return platform::executablePath().value_or("");
}

std::string getDirectoryOfExecutable() {
    const std::string path = getPathToExecutable();
    const auto sep = path.find_last_of("/\\");
    return sep == std::string::npos ? path : path.substr(0, sep);
}

std::string getBundleLocation() {
    if (const auto bundle = platform::runningBundle()) {
        return bundle->resourceDir.empty() ? bundle->bundleDir : bundle->resourceDir;
    }
    return getDirectoryOfExecutable();
}

std::string getDefaultInstallAgentLocation() {
    const auto bundle = platform::runningBundle();
    if (!bundle || bundle->resourceDir.empty()) return "";
    return platform::joinPath(bundle->resourceDir, INSTALL_AGENT_ZIP);
}

namespace {

// 0 when prefix is (or has just been attempted as) a directory, -1 when it is something else.
int ensureDirectory(const std::string& prefix, mode_t mode) {
    struct stat st {};
    if (::stat(prefix.c_str(), &st) != 0) {
        ::mkdir(prefix.c_str(), mode);
        return 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

}  // namespace

int mkpath(std::string path, mode_t mode) {
    for (size_t pos = path.find('/'); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        if (pos == 0 || path[pos - 1] == '/') continue;
        if (ensureDirectory(path.substr(0, pos), mode) != 0) return -1;
    }
    return ensureDirectory(path, mode);
}

}  // namespace bi
