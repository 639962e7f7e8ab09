// The benchmarks' view of a main loop's responsiveness. When enabled (BI_MAIN_LOOP_STATS, read
// into the settings), a main loop records the longest stretch its thread spent busy between two waits for
// work and prints it as one line on standard error when run() returns:
//   main loop: longest busy stretch 1.234 ms
// Header-only, so that the GTK plug-in shares it without linking anything of ours.
#pragma once

#include <chrono>
#include <cstdio>

namespace bi::ui {

class BusyStretch {
public:
    using Clock = std::chrono::steady_clock;

    explicit BusyStretch(bool enabled) : enabled_(enabled) {}

    bool enabled() const { return enabled_; }
    void add(Clock::duration busy) {
        if (busy > longest_) longest_ = busy;
    }
    void print() const {
        if (!enabled_) return;
        std::fprintf(stderr, "main loop: longest busy stretch %.3f ms\n",
                     std::chrono::duration<double, std::milli>(longest_).count());
    }

private:
    bool enabled_;
    Clock::duration longest_{};
};

}  // namespace bi::ui
