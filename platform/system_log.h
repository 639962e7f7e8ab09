#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace bi::platform {

// One line on standard error, "YYYY-MM-DD HH:MM:SS.mmm <program>[<pid>:<tid>] <text>", and
// the same text to syslog(3). Control bytes in text are written as by printable(), and a text
// longer than 4 KB is cut there.
void systemLog(const std::string& text);

// How many lines this process has logged so far; and the lines logged after the first `from`
// of them, as on standard error without their line feeds (the latest 500 at most), for a
// person who asks what happened.
size_t logLinesLogged();
std::vector<std::string> logLinesSince(size_t from);

// Writes all of text to fd, going on after short writes and interruptions; one write(2) for
// a line, so that lines from several threads never interleave.
void writeAll(int fd, std::string_view text);

// text with each control byte written as \r, \n, \t or \xHH and each backslash doubled, so
// that a URL or a path read from outside stays on its line and shows what it holds.
std::string printable(const std::string& text);

}  // namespace bi::platform
