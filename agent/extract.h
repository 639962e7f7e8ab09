#pragma once

#include <string>

#include "driver/report.h"

// Extracts archive into destination with `tool` (the system's unzip), overwriting without a
// prompt. False silently when there is no archive; false with a message when the tool fails.
bool unzipInstallAgent(std::string archive, std::string destination, std::string tool, ReportMessageCallback report);
