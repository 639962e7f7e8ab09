// The download road's entry: the window, the run in it, and what comes back to the driver.
#pragma once

#include <string>

#include "download/failure.h"
#include "download/run.h"
#include "host/settings.h"

namespace bi {

// Runs the download window until it closes, with a run that fetches `url` (or the settings'
// URL) into the per-user cache; `workDir` is the run's working directory. The agent's
// directory in the cache, or why there is none, which the window has shown already.
RunResult downloadAgent(const std::string& workDir, const std::string& url, const Settings& settings);

// A failure found outside a download (before it, or on the shipped road): logged, then shown
// in the window with its Close button when there is a display, else on the console. Without
// `onConsole`, only a display shows it: the stage messages on the console say it already.
void showFailure(const Failure& failure, const Settings& settings, bool onConsole = true);

}  // namespace bi
