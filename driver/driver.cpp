#include "driver/driver.h"

#include "agent/launch.h"
#include "agent/url_file.h"
#include "driver/sourcing.h"
#include "host/constants.h"
#include "host/locations.h"
#include "host/shell.h"
#include "host/temp_dir.h"

namespace bi {

int runInstaller(int argc, const char* argv[], Reporter report, const Settings& settings) {
    TempDir tempDir;
    std::string workDir = tempDir.getDir();
    if (workDir.empty() || settings.besideProgram) {
        workDir = getDirectoryOfExecutable();
    }

    const std::string bundleLocation = getBundleLocation();

    const std::string url = readEndpointUrlFile(bundleLocation + PATH_SEPARATOR + INSTALL_AGENT_URL_FILE, report);
    const SourcedAgent agent = sourceInstallAgent(workDir, url, report, settings);
    if (agent.failure) return exitStatus(*agent.failure);
    const std::string& agentPath = agent.executable;

    // A relative HOME or TMPDIR may start the path with "-", which sh would take for options.
    // exec: the shell that system() starts becomes the agent's, rather than waiting for it.
    const std::string command = "exec sh " + shellQuote(agentPath.starts_with("-") ? "./" + agentPath : agentPath);
    if (!launchAgent(command, bundleLocation, argc, argv)) {
        report("Failed to start the install agent", true);
        return -1;
    }
    return 0;
}

}  // namespace bi
