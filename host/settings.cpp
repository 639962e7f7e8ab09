#include "host/settings.h"

#include <cstdlib>

namespace bi {

namespace {

// A positive number of seconds, up to a day; nullopt for anything else.
std::optional<double> seconds(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    char* end = nullptr;
    const double seconds = std::strtod(value, &end);
    if (*end != '\0' || !(seconds > 0) || seconds > 86400) return std::nullopt;
    return seconds;
}

}  // namespace

Settings readSettings() {
    Settings settings;
    if (const char* url = std::getenv("QV_INTERNAL_INSTALL_AGENT_URL")) settings.agentUrl = url;
    settings.besideProgram = std::getenv("__QV_BOOTSTRAP_INSTALLER_UNITTEST__") != nullptr;
    const char* window = std::getenv("BI_WINDOW");
    settings.window.console = window != nullptr && std::string(window) == "console";
    if (const char* transcript = std::getenv("BI_WINDOW_TRANSCRIPT")) settings.window.transcript = transcript;
    settings.window.loopStats = std::getenv("BI_MAIN_LOOP_STATS") != nullptr;
    const char* noColour = std::getenv("NO_COLOR");
    settings.window.noColour = noColour != nullptr && *noColour != '\0';
    const char* term = std::getenv("TERM");
    settings.window.dumbTerminal = term != nullptr && std::string(term) == "dumb";
    if (const auto idle = seconds("BI_IDLE_TIMEOUT")) {
        settings.idleTimeout = std::chrono::milliseconds(static_cast<long>(*idle * 1000));
    }
    settings.retryWaitScale = seconds("BI_RETRY_WAIT").value_or(1.0);
    return settings;
}

}  // namespace bi
