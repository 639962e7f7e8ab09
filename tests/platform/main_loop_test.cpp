#include <gtest/gtest.h>

#include "main_loop_checks.h"

namespace bi {

namespace {

loopchecks::LoopUnderTest openConsoleLoop() {
    std::shared_ptr<ui::MainLoop> loop = ui::makeConsoleMainLoop();
    return {loop, loop.get()};
}

TEST(ConsoleMainLoop, RunSyncFromWorkerRunsOnMainThreadAndStopFromWorkerEndsRun) {
    loopchecks::runSyncFromWorkerThenStop(openConsoleLoop);
}

TEST(ConsoleMainLoop, TimersRunInDueOrder) { loopchecks::timersInDueOrder(openConsoleLoop); }

TEST(ConsoleMainLoop, StoppedLoopReleasesWaitingWorkersAndRunsNothing) {
    loopchecks::stoppedLoopRunsNothing(openConsoleLoop);
}

}  // namespace

}  // namespace bi
