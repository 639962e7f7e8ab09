#include "host/locations.h"

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

}  // namespace bi
