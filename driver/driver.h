#pragma once

#include <string>

#include "host/report.h"

namespace bi {

// Runs the installer's stages once; 0 when the install agent's command was run, -1 otherwise.
int bootstrapInstallerMainFunc(int argc, const char* argv[], ReportMessageCallback report);

// The payload step: nothing to unpack in this installer, so it always succeeds.
int extractPayloadToDir(std::string dir, bool flag, ReportMessageCallback report);

}  // namespace bi
