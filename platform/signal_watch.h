// SIGINT, SIGTERM and SIGHUP turned into calls on a thread of their own, for as long as a
// SignalWatch exists. Watches nest: the newest one gets the signals, and the one before it
// gets them again when the newest goes.
#pragma once

#include <signal.h>

#include <functional>
#include <iterator>
#include <thread>

namespace bi::platform {

class SignalWatch {
public:
    explicit SignalWatch(std::function<void()> onSignal);
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    void readLoop();

    std::function<void()> onSignal_;
    int pipe_[2] = {-1, -1};
    int previousPipe_ = -1;
    struct sigaction previous_[std::size(kSignals)]{};
    std::thread reader_;
};

}  // namespace bi::platform
