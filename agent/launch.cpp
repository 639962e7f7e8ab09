#include "agent/launch.h"

#include <exception>

#include "host/constants.h"
#include "host/shell.h"

namespace bi {

bool fireInstallAgentWithArgs(std::string agentPath, std::string shellCommand, std::string bundleLocation, int argc,
                              const char* const argv[], ReportMessageCallback report) {
    std::string tail = " -installbundle " + smart_quote(bundleLocation + PATH_SEPARATOR + "bundle.zip");
    if (argc >= 2) tail += " " + argv2cmdline(argc, argv);
    const std::string commandLine = shellCommand + tail;
    try {
        call_system(agentPath, commandLine);
    } catch (const std::exception&) {
        report("Failed to start the install agent", true);
        return false;
    }
    return true;
}

}  // namespace bi
