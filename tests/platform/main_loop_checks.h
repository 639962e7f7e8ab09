// What every main loop must do, as checks that run against any backend's loop: the console
// loop in main_loop_test.cpp, the GTK loop in gtk_window_test.cpp. Each check takes a fresh
// loop from `open`, which returns the loop and whatever keeps it alive.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "ui/main_loop.h"

namespace bi {

namespace loopchecks {

using namespace std::chrono_literals;

struct LoopUnderTest {
    std::shared_ptr<void> owner;
    ui::MainLoop* loop = nullptr;
};
using LoopFactory = std::function<LoopUnderTest()>;

// A worker's runSync, even one made before run(), runs fn on the main thread and returns only
// after fn has finished; a stop from the worker ends run() with its status, a later one
// changes nothing.
inline void runSyncFromWorkerThenStop(const LoopFactory& open) {
    auto t = open();
    std::thread::id ranOn;
    bool finished = false;
    bool sawFinished = false;
    std::thread worker([&] {
        t.loop->runSync([&] {
            std::this_thread::sleep_for(50ms);
            ranOn = std::this_thread::get_id();
            finished = true;
        });
        sawFinished = finished;
        t.loop->stop(5);
        t.loop->stop(6);
    });
    std::this_thread::sleep_for(50ms);  // the worker asks before the loop runs
    EXPECT_EQ(t.loop->run(), 5);
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(sawFinished);
}

// Timers run by due time even when they fall due together while the main thread is busy;
// runSync on the main thread, before and while the loop runs, is inline.
inline void timersInDueOrder(const LoopFactory& open) {
    auto t = open();
    std::vector<int> order;
    bool inlineBeforeRun = false;
    t.loop->runSync([&] { inlineBeforeRun = true; });
    EXPECT_TRUE(inlineBeforeRun);
    t.loop->runAfter(0, [&] {
        std::this_thread::sleep_for(80ms);  // everything below is due when this returns
        bool inlineInside = false;
        t.loop->runSync([&] { inlineInside = true; });
        EXPECT_TRUE(inlineInside);
    });
    t.loop->runAfter(0.030, [&] { order.push_back(3); });
    t.loop->runAfter(0.010, [&] { order.push_back(1); });
    std::thread([&] { t.loop->runAfter(0.020, [&] { order.push_back(2); }); }).join();
    t.loop->runAfter(0.010, [&] { order.push_back(11); });  // same delay, asked later
    t.loop->runAfter(0.150, [&] { t.loop->stop(0); });
    EXPECT_EQ(t.loop->run(), 0);
    EXPECT_EQ(order, (std::vector<int>{1, 11, 2, 3}));
}

// A worker waiting in runSync when the loop stops is released without fn running; after
// the end, runSync returns at once from any thread, and a stop before run() ends run() at once.
inline void stoppedLoopRunsNothing(const LoopFactory& open) {
    auto t = open();
    std::atomic<bool> posting{false};
    std::atomic<bool> ran{false};
    std::thread worker;
    t.loop->runAfter(0, [&] {
        worker = std::thread([&] {
            posting = true;
            t.loop->runSync([&] { ran = true; });
        });
        while (!posting) std::this_thread::yield();
        std::this_thread::sleep_for(50ms);  // the worker is in runSync now
        t.loop->stop(2);
    });
    EXPECT_EQ(t.loop->run(), 2);
    worker.join();
    EXPECT_FALSE(ran);

    const auto start = std::chrono::steady_clock::now();
    std::thread([&] { t.loop->runSync([&] { ran = true; }); }).join();
    t.loop->runSync([&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    auto early = open();
    early.loop->runAfter(0, [&] { ran = true; });
    std::thread([&] { early.loop->stop(4); }).join();
    EXPECT_EQ(early.loop->run(), 4);
    EXPECT_FALSE(ran);
}

inline void allChecks(const LoopFactory& open) {
    {
        SCOPED_TRACE("runSyncFromWorkerThenStop");
        runSyncFromWorkerThenStop(open);
    }
    {
        SCOPED_TRACE("timersInDueOrder");
        timersInDueOrder(open);
    }
    {
        SCOPED_TRACE("stoppedLoopRunsNothing");
        stoppedLoopRunsNothing(open);
    }
}

}  // namespace loopchecks

}  // namespace bi
