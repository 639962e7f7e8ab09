#pragma once

#include <functional>
#include <string>

namespace bi {

// The text as one word for the POSIX shell: unchanged when every byte is a letter, a digit or
// one of @%+=:,./_- ; otherwise in single quotes, an inner single quote written as '\''.
// The empty string becomes ''.
std::string shellQuote(std::string text);

// Runs commandLine, one simple command, with /bin/sh, in a session of
// its own (no controlling terminal, so it cannot stop to prompt), ended when the installer
// dies or once `cancelled`, polled while it runs, is true. With `rewrite`, what the command
// writes to standard output and error reaches standard error line by line through it.
// Returns the wait status, -1 when sh cannot start.
int runShellCancellable(const std::string& commandLine, const std::function<bool()>& cancelled,
                        const std::function<std::string(const std::string&)>& rewrite = {});

}  // namespace bi
