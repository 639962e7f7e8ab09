#pragma once

#include <string>

#include "host/report.h"
#include "host/settings.h"

namespace bi {

// Runs the installer's stages once; 0 when the install agent's command was run, -1 otherwise.
int runInstaller(int argc, const char* argv[], Reporter report, const Settings& settings);

}  // namespace bi
