#pragma once

#include <string>

namespace bi {

// Runs shellCommand + " -installbundle <bundleLocation>/bundle.zip" + the user's arguments
// through the shell and waits. True once it has run, whatever the agent's exit status; false
// when no shell could be started.
bool launchAgent(const std::string& shellCommand, const std::string& bundleLocation, int argc,
                 const char* const argv[]);

}  // namespace bi
