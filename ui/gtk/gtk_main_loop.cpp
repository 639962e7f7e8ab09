// The GTK window's main loop: GLib's default main context, where GTK delivers its events,
// with our calls, timers and stop on top of it.
#include "ui/gtk/gtk_main_loop.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "ui/busy_stretch.h"

namespace bi::ui {

using Clock = std::chrono::steady_clock;

// What the loop shares with the GLib sources it has posted; a source may outlive the loop.
struct GtkLoopState {
    std::mutex mutex;
    std::condition_variable callDone;
    std::multimap<Clock::time_point, std::function<void()>> timers;
    std::thread::id mainThread = std::this_thread::get_id();
    bool stopped = false;
    int status = 0;
};

namespace {

struct SyncCall {
    std::shared_ptr<GtkLoopState> state;
    std::function<void()> fn;
    bool started = false;
    bool done = false;
};

struct TimerFire {
    std::shared_ptr<GtkLoopState> state;
    Clock::time_point due;
};

gboolean quitLoop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

gboolean runCall(gpointer data) {
    SyncCall& call = **static_cast<std::shared_ptr<SyncCall>*>(data);
    {
        std::lock_guard lock(call.state->mutex);
        if (call.state->stopped) return G_SOURCE_REMOVE;
        call.started = true;
    }
    call.fn();
    call.fn = nullptr;
    {
        std::lock_guard lock(call.state->mutex);
        call.done = true;
    }
    call.state->callDone.notify_all();
    return G_SOURCE_REMOVE;
}

void deleteCall(gpointer data) { delete static_cast<std::shared_ptr<SyncCall>*>(data); }

// Each timer has a GLib timeout of its own, but whichever fires runs every timer that is due,
// earliest first: GLib alone would run timers that became due together in the order added.
gboolean fireTimers(gpointer data) {
    const TimerFire& fire = *static_cast<TimerFire*>(data);
    GtkLoopState& state = *fire.state;
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(state.mutex);
            if (state.stopped || state.timers.empty()) break;
            const auto first = state.timers.begin();
            if (first->first > std::max(Clock::now(), fire.due)) break;
            fn = std::move(first->second);
            state.timers.erase(first);
        }
        fn();
    }
    return G_SOURCE_REMOVE;
}

void deleteTimerFire(gpointer data) { delete static_cast<TimerFire*>(data); }

// The busy-stretch record of the loop being run: whatever the thread does between two polls
// (our calls and timers, GTK's events and drawing). GLib's poll hook takes no user data.
BusyStretch* gBusy = nullptr;
Clock::time_point gAwake;
GPollFunc gRealPoll = nullptr;

gint timedPoll(GPollFD* fds, guint count, gint timeout) {
    gBusy->add(Clock::now() - gAwake);
    const gint result = gRealPoll(fds, count, timeout);
    gAwake = Clock::now();
    return result;
}

}  // namespace

GtkMainLoop::GtkMainLoop(bool stats)
    : state_(std::make_shared<GtkLoopState>()), loop_(g_main_loop_new(nullptr, FALSE)), stats_(stats) {}

GtkMainLoop::~GtkMainLoop() {
    // Sources still posted must find the loop ended and leave the window alone.
    std::multimap<Clock::time_point, std::function<void()>> timers;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopped = true;
        timers.swap(state_->timers);
    }
    state_->callDone.notify_all();
    g_main_loop_unref(loop_);
}

int GtkMainLoop::run() {
    {
        std::lock_guard lock(state_->mutex);
        state_->mainThread = std::this_thread::get_id();
        if (state_->stopped) return state_->status;
    }
    BusyStretch busy(stats_);
    if (busy.enabled()) {
        gBusy = &busy;
        gRealPoll = g_main_context_get_poll_func(nullptr);
        gAwake = Clock::now();
        g_main_context_set_poll_func(nullptr, timedPoll);
    }
    g_main_loop_run(loop_);
    if (busy.enabled()) {
        busy.add(Clock::now() - gAwake);
        g_main_context_set_poll_func(nullptr, gRealPoll);
        gBusy = nullptr;
        busy.print();
    }
    std::lock_guard lock(state_->mutex);
    return state_->status;
}

void GtkMainLoop::stop(int status) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->stopped) return;
        state_->stopped = true;
        state_->status = status;
    }
    state_->callDone.notify_all();
    // Quitting from the loop's own thread also covers a stop that comes before run().
    g_idle_add_full(G_PRIORITY_HIGH, quitLoop, g_main_loop_ref(loop_),
                    reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
}

void GtkMainLoop::runSync(std::function<void()> fn) {
    std::unique_lock lock(state_->mutex);
    if (state_->stopped) return;
    if (std::this_thread::get_id() == state_->mainThread) {
        lock.unlock();
        fn();
        return;
    }
    auto call = std::make_shared<SyncCall>();
    call->state = state_;
    call->fn = std::move(fn);
    // An idle source, not g_main_context_invoke: that would run fn right here when no
    // thread holds the context yet. Below redraw priority, so a busy worker cannot
    // starve the window's painting.
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, runCall, new std::shared_ptr<SyncCall>(call), deleteCall);
    // A call the main thread has begun is waited for: fn may use the caller's stack.
    state_->callDone.wait(lock, [&] { return call->done || (state_->stopped && !call->started); });
}

void GtkMainLoop::runAfter(double seconds, std::function<void()> fn) {
    const double delay = std::isfinite(seconds) && seconds > 0 ? std::min(seconds, 1e6) : 0.0;
    const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
    {
        std::lock_guard lock(state_->mutex);
        if (state_->stopped) return;
        state_->timers.emplace(due, std::move(fn));
    }
    const auto ms = static_cast<guint>(std::ceil(delay * 1000));
    g_timeout_add_full(G_PRIORITY_DEFAULT, ms, fireTimers, new TimerFire{state_, due}, deleteTimerFire);
}

}  // namespace bi::ui
