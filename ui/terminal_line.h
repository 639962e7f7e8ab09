// One line at the bottom of a terminal, redrawn in place, with everything else that goes to
// standard error written above it: the process's log lines and its children's messages would
// otherwise be glued to the line or leave pieces of it on the screen. While a TerminalLine
// exists, standard error is a pipe that it copies to the terminal.
#pragma once

#include <mutex>
#include <string>
#include <thread>

namespace bi::ui {

class TerminalLine {
public:
    // Standard error must be a terminal.
    TerminalLine();
    // Leaves the line on the screen, ends it and gives standard error back. Whatever still
    // holds the pipe (a child that outlived its caller) writes into nothing from then on.
    ~TerminalLine();
    TerminalLine(const TerminalLine&) = delete;
    TerminalLine& operator=(const TerminalLine&) = delete;

    // The terminal's width: COLUMNS when set, else the terminal's own, else 80.
    int columns() const;

    // Replaces the line; "" takes it off the screen. The text must fit the width.
    void show(const std::string& text);
    // Writes whole lines above the line.
    void print(const std::string& lines);
    // Leaves the line on the screen as it is and starts a fresh one below it.
    void end();

private:
    void forward();
    // Copies what waits in the pipe to the terminal, above the line; with `all`, also a
    // last line without its end.
    void drainLocked(bool all);
    void writeLocked(const std::string& text);

    int terminal_ = -1;  // the real standard error
    int pipe_ = -1;      // the read end of what standard error now is
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    std::string line_;
    bool lineShown_ = false;
    bool midLine_ = false;  // what was copied ended without a line end
    std::string pending_;
    std::thread forwarder_;
};

}  // namespace bi::ui
