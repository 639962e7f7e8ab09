#include <gtest/gtest.h>

#include "main_loop_checks.h"

namespace {

loopchecks::LoopUnderTest openConsoleLoop() {
    std::shared_ptr<platform::MainLoop> loop = platform::makeConsoleMainLoop();
    return {loop, loop.get()};
}

TEST(ConsoleMainLoop, RunSyncFromWorkerRunsOnMainThreadAndStopFromWorkerEndsRun) {
    loopchecks::runSyncFromWorkerThenStop(openConsoleLoop);
}

TEST(ConsoleMainLoop, TimersRunInDueOrder) { loopchecks::timersInDueOrder(openConsoleLoop); }

TEST(ConsoleMainLoop, StoppedLoopReleasesWaitingWorkersAndRunsNothing) {
    loopchecks::stoppedLoopRunsNothing(openConsoleLoop);
}

// Many workers hammering runSync while a timer stops the loop: each returns, none hangs.
TEST(ConsoleMainLoop, ManyWorkersAllReturnWhenTheLoopStops) {
    auto loop = platform::makeConsoleMainLoop();
    std::atomic<int> calls{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&] {
            for (int i = 0; i < 100000; ++i) loop->runSync([&] { ++calls; });
        });
    }
    loop->runAfter(0.05, [&] { loop->stop(1); });
    EXPECT_EQ(loop->run(), 1);
    for (auto& w : workers) w.join();
    EXPECT_GT(calls.load(), 0);
}

}  // namespace
