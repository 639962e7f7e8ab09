#include "driver/driver.h"

#include "agent/launch.h"
#include "agent/url_file.h"
#include "download/download_entry.h"
#include "driver/sourcing.h"
#include "host/constants.h"
#include "host/locations.h"
#include "host/temp_dir.h"
#include "platform/bundle.h"

namespace bi {

int runInstaller(int argc, const char* argv[], Reporter report, const Settings& settings) {
    TempDir tempDir;
    std::string workDir = tempDir.getDir();
    // Only the test switch puts the agent beside the bundle: unzip would overwrite the
    // user's own files there and leave its own for good.
    if (settings.besideProgram) {
        workDir = getDirectoryOfExecutable();
    } else if (workDir.empty()) {
        const Failure failure{Failure::Kind::NoWorkDir, platform::temporaryDirectory().value_or(""), tempDir.refusal()};
        showFailure(failure, settings);
        return exitStatus(failure);
    }

    const std::string bundleLocation = getBundleLocation();

    const std::string url = readEndpointUrlFile(bundleLocation + PATH_SEPARATOR + INSTALL_AGENT_URL_FILE, report);
    const SourcedAgent agent = sourceInstallAgent(workDir, url, report, settings);
    if (agent.failure) return exitStatus(*agent.failure);

    if (const auto failed = launchAgent(agent.executable, bundleLocation, argc, argv)) {
        report("Failed to start the install agent: " + *failed, true);
        return -1;
    }
    return 0;
}

}  // namespace bi
