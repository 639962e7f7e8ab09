#pragma once

#include <optional>
#include <string>

#include "download/failure.h"
#include "host/report.h"
#include "host/settings.h"

namespace bi {

// The path of the agent's "install", or why there is none (said to the user already).
struct SourcedAgent {
    std::string executable;
    std::optional<Failure> failure;  // set exactly when there is no executable
};

// Makes the install agent available on disk: from an archive shipped in the bundle
// (extracted into workDir), else through the download window and the per-user cache.
SourcedAgent sourceInstallAgent(const std::string& workDir, const std::string& url, Reporter report,
                                const Settings& settings);

}  // namespace bi
