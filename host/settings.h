// The switches and tuning values the environment may set, read once at the start into one value
// that is passed down, so that no part of the installer reads them on its own. Besides the URL
// that a vendor may replace and the terminal's conventions (NO_COLOR, TERM), they exist for
// tests and benchmarks: they scale a wait, pick the console or name a file, and none of them
// can skip a check.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "ui/window.h"

namespace bi {

struct Settings {
    // QV_INTERNAL_INSTALL_AGENT_URL: replaces the bundle's URL (and its mirrors), even empty.
    std::optional<std::string> agentUrl;
    // __QV_BOOTSTRAP_INSTALLER_UNITTEST__ (even empty): the agent is extracted beside the program.
    bool besideProgram = false;
    // BI_WINDOW=console, BI_WINDOW_TRANSCRIPT, BI_MAIN_LOOP_STATS; the terminal's NO_COLOR and TERM.
    ui::WindowSettings window;
    // BI_IDLE_TIMEOUT: seconds without a byte before a transfer is given up.
    std::chrono::milliseconds idleTimeout{60000};
    // BI_RETRY_WAIT: the first retry's wait in seconds; every wait scales with it.
    double retryWaitScale = 1.0;
};

// The settings of this process's environment.
Settings readSettings();

}  // namespace bi
