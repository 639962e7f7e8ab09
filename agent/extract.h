#pragma once

#include <functional>
#include <string>

#include "host/report.h"

namespace bi {

// Extracts archive into destination with `tool` (the system's unzip), overwriting without a
// prompt. False silently when there is no archive; false with a message when the tool fails.
// The tool runs without a terminal, so it cannot wait for a password; once `cancelled` says
// so, it is ended and the extraction has failed.
bool unzipInstallAgent(const std::string& archive, const std::string& destination, const std::string& tool,
                       Reporter report, const std::function<bool()>& cancelled = {});

}  // namespace bi
