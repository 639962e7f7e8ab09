#pragma once

#include <optional>
#include <string>

namespace bi {

// Runs `sh <agent> -installbundle <bundleLocation>/bundle.zip <argv[1]...>` with an argument
// vector, every argument as it stands, and waits for it. nullopt once sh has run, whatever the
// agent's exit status (126 and 127 too); else why sh could not start (not found, the arguments
// beyond the system's limit).
std::optional<std::string> launchAgent(const std::string& agent, const std::string& bundleLocation, int argc,
                                       const char* const argv[]);

}  // namespace bi
