#include "driver/driver.h"

#include <cstdlib>

#include "agent/launch.h"
#include "driver/sourcing.h"
#include "agent/url_file.h"
#include "host/constants.h"
#include "host/locations.h"
#include "host/shell.h"
#include "host/temp_dir.h"

namespace bi {

int extractPayloadToDir(std::string /*dir*/, bool /*flag*/, ReportMessageCallback /*report*/) { return 0; }

int bootstrapInstallerMainFunc(int argc, const char* argv[], ReportMessageCallback report) {
    TempDir tempDir("tmp_install_dir");
    std::string workDir = tempDir.getDir();
    if (workDir.empty() || std::getenv("__QV_BOOTSTRAP_INSTALLER_UNITTEST__") != nullptr) {
        workDir = getDirectoryOfExecutable();
    }

    const std::string bundleLocation = getBundleLocation();

    const int payload = extractPayloadToDir(workDir, false, report);
    if (payload != 0) {
        report("Internal error: Failed to initialize application installer (" + std::to_string(payload) + ")",
               true);
        return -1;
    }

    const std::string url = readEndpointUrlFile(bundleLocation + PATH_SEPARATOR + "installAgentURL.txt", report);
    const std::string agentPath = sourceInstallAgent(workDir, url, report);
    if (agentPath.empty()) return -1;

    // A relative HOME or TMPDIR may start the path with "-", which sh would take for options.
    // exec: the shell that system() starts becomes the agent's, rather than waiting for it.
    const std::string command = "exec sh " + smart_quote(agentPath.starts_with("-") ? "./" + agentPath : agentPath);
    if (!fireInstallAgentWithArgs(agentPath, command, bundleLocation, argc, argv, report)) {
        report("Failed to start the install agent", true);
        return -1;
    }
    return 0;
}

}  // namespace bi
