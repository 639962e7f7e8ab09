#pragma once

#include <optional>
#include <string>

#include "download/failure.h"

namespace bi {

// Runs the download window until its main loop ends. nullopt when the install agent is ready
// in the per-user cache; else why not, which the window has shown already.
std::optional<Failure> downloadAgent(const std::string& destination, std::string url);

// A failure found outside a download (before it, or on the shipped road): logged, then shown
// in the window with its Close button when there is a display, else on the console. Without
// `onConsole`, only a display shows it: the stage messages on the console say it already.
void showFailure(const Failure& failure, bool onConsole = true);

}  // namespace bi
