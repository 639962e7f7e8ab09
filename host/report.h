#pragma once

#include <string>

namespace bi {

// Every stage that can fail reports through one of these, then returns its failure.
using Reporter = void (*)(const std::string& message, bool isError);

// The program's one reporter; forwards to reportToConsole.
void reportMessage(const std::string& message, bool isError);

// Writes the message and a newline, unadorned, to standard error (isError) or standard
// output, and flushes. Takes no lock: it is also called from the download worker.
void reportToConsole(const std::string& message, bool isError);

}  // namespace bi
