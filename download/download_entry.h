#pragma once

#include <string>

namespace bi {

// Runs the download window until its main loop ends. True only when the install agent is
// ready in the per-user cache; the window shows its own failures.
bool downloadAgent(const std::string& destination, std::string url);

}  // namespace bi
