// The application main loop that the download window runs on the main thread.
#pragma once

#include <functional>
#include <memory>

namespace bi::ui {

class MainLoop {
public:
    virtual ~MainLoop() = default;

    // Runs on the calling thread (the main thread) until stop(); returns the status given to
    // the first stop(). A stop() that came before run() makes run() return at once.
    virtual int run() = 0;

    // Ends the loop with status; from any thread; never blocks. Later calls change nothing.
    virtual void stop(int status) = 0;

    // Runs fn on the main thread and waits until it has run; inline when called on the main
    // thread. Once the loop has ended (or when it ends while waiting), it returns at once
    // without running fn, so a worker never waits forever on a stopped main thread.
    virtual void runSync(std::function<void()> fn) = 0;

    // Runs fn on the main thread about `seconds` from now, unless the loop has ended by then.
    // From any thread; never blocks.
    virtual void runAfter(double seconds, std::function<void()> fn) = 0;
};

// The loop for the console: a queue of calls and timers, no window system. With `stats`, it
// prints its longest busy stretch when run() returns (ui/busy_stretch.h).
std::unique_ptr<MainLoop> makeConsoleMainLoop(bool stats = false);

}  // namespace bi::ui
