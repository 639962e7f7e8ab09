// The console main loop: a queue of runSync calls and a timer queue ordered by due time,
// served on the thread that calls run().
#include "ui/main_loop.h"

#include "ui/busy_stretch.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace bi::ui {
namespace {

using Clock = std::chrono::steady_clock;

struct SyncCall {
    std::function<void()> fn;
    bool started = false;
    bool done = false;
};

class ConsoleMainLoop final : public MainLoop {
public:
    explicit ConsoleMainLoop(bool stats) : mainThread_(std::this_thread::get_id()), stats_(stats) {}

    int run() override {
        BusyStretch busy(stats_);
        std::unique_lock lock(mutex_);
        mainThread_ = std::this_thread::get_id();
        while (!stopped_) {
            if (!calls_.empty()) {
                const auto start = busy.enabled() ? Clock::now() : Clock::time_point{};
                runCall(lock);
                if (busy.enabled()) busy.add(Clock::now() - start);
            } else if (!timers_.empty() && timers_.begin()->first <= Clock::now()) {
                const auto start = busy.enabled() ? Clock::now() : Clock::time_point{};
                auto fn = std::move(timers_.begin()->second);
                timers_.erase(timers_.begin());
                lock.unlock();
                fn();
                fn = nullptr;  // its captures go before the lock is taken again
                lock.lock();
                if (busy.enabled()) busy.add(Clock::now() - start);
            } else if (!timers_.empty()) {
                wake_.wait_until(lock, timers_.begin()->first);
            } else {
                wake_.wait(lock);
            }
        }
        // Calls and timers left over never run; drop them outside the lock.
        std::deque<std::shared_ptr<SyncCall>> calls;
        std::multimap<Clock::time_point, std::function<void()>> timers;
        calls.swap(calls_);
        timers.swap(timers_);
        const int status = status_;
        lock.unlock();
        busy.print();
        return status;
    }

    void stop(int status) override {
        {
            std::lock_guard lock(mutex_);
            if (stopped_) return;
            stopped_ = true;
            status_ = status;
        }
        wake_.notify_all();
        callDone_.notify_all();
    }

    void runSync(std::function<void()> fn) override {
        std::unique_lock lock(mutex_);
        if (stopped_) return;
        if (std::this_thread::get_id() == mainThread_) {
            lock.unlock();
            fn();
            return;
        }
        auto call = std::make_shared<SyncCall>();
        call->fn = std::move(fn);
        calls_.push_back(call);
        wake_.notify_all();
        // A call the main thread has begun is waited for even if the loop stops meanwhile:
        // fn may use the caller's stack.
        callDone_.wait(lock, [&] { return call->done || (stopped_ && !call->started); });
    }

    void runAfter(double seconds, std::function<void()> fn) override {
        const double delay = std::isfinite(seconds) && seconds > 0 ? seconds : 0.0;
        const auto due =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
        {
            std::lock_guard lock(mutex_);
            if (stopped_) return;
            timers_.emplace(due, std::move(fn));  // after any earlier timer with the same due time
        }
        wake_.notify_all();
    }

private:
    void runCall(std::unique_lock<std::mutex>& lock) {
        auto call = calls_.front();
        calls_.pop_front();
        call->started = true;
        lock.unlock();
        call->fn();
        call->fn = nullptr;
        lock.lock();
        call->done = true;
        callDone_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable wake_;      // the main thread waits here for work
    std::condition_variable callDone_;  // workers in runSync wait here
    std::deque<std::shared_ptr<SyncCall>> calls_;
    std::multimap<Clock::time_point, std::function<void()>> timers_;
    std::thread::id mainThread_;  // the creator until run() is called, then run()'s caller
    bool stats_;
    bool stopped_ = false;
    int status_ = 0;
};

}  // namespace

std::unique_ptr<MainLoop> makeConsoleMainLoop(bool stats) { return std::make_unique<ConsoleMainLoop>(stats); }

}  // namespace bi::ui
