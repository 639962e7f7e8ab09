#pragma once

#include <string>

#include "host/report.h"

namespace bi {

// Makes the install agent available on disk and returns the path of its "install": from an
// archive shipped in the bundle (extracted into workDir), else through the download window
// and the per-user cache. "" when no agent could be had, after the stage's own messages.
std::string sourceInstallAgent(const std::string& workDir, const std::string& url, Reporter report);

}  // namespace bi
