#pragma once

#include <string>

#include "download/failure.h"

namespace bi {

// Runs the download window until its main loop ends. True only when the install agent is
// ready in the per-user cache; the window shows its own failures.
bool downloadAgent(const std::string& destination, std::string url);

// A failure found outside a download (before it, or on the shipped road): logged, then shown
// in the window with its Close button when there is a display, else on the console.
void showFailure(const Failure& failure);

}  // namespace bi
