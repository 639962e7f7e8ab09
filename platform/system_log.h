#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace bi::platform {

// One line on standard error, "YYYY-MM-DD HH:MM:SS.mmm <program>[<pid>:<tid>] <text>", the
// same text to syslog(3), and the line to the log file once keepLogFile() was called. Control
// bytes in text are written as by printable(), a URL's user and password are left out, and a
// text longer than 4 KB is cut there.
void systemLog(const std::string& text);

// From the next log line on, the process's log lines also go to a file for the vendor's
// support: ${XDG_STATE_HOME:-~/.local/state}/bootstrap-installer/<date>_<time>_<pid>.log, 0600
// in a 0700 directory, the newest 10 such files kept. None (and the process goes on) where
// that directory, or one on the way to it below HOME or XDG_STATE_HOME, is a link, is not the
// user's, or others can write to it. The installer calls it once, first thing.
void keepLogFile();

// The file that holds this process's log lines; "" while there is none.
std::string logFilePath();

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
