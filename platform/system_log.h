#pragma once

#include <string>

namespace platform {

// One line on standard error, "YYYY-MM-DD HH:MM:SS.mmm <program>[<pid>:<tid>] <text>", and
// the same text to syslog(3).
void systemLog(const std::string& text);

}  // namespace platform
