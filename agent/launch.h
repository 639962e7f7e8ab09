#pragma once

#include <string>

#include "host/report.h"

namespace bi {

// Runs shellCommand + " -installbundle <bundleLocation>/bundle.zip" + the user's arguments
// through the shell and waits. True once it has run, whatever the agent's exit status.
bool fireInstallAgentWithArgs(std::string agentPath, std::string shellCommand, std::string bundleLocation, int argc,
                              const char* const argv[], ReportMessageCallback report);

}  // namespace bi
