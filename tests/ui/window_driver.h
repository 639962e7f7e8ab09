// Drives a window from a worker as a download run does: snapshots published on the main
// thread, for the window tests.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "platform/system_log.h"
#include "ui/window.h"
#include "ui/words.h"

namespace bi {

// A failure whose words are long enough to wrap, with characters that markup would take for
// its own.
inline ui::Trouble failureTrouble() {
    ui::Trouble t;
    t.kind = ui::Trouble::Kind::CacheUntrusted;
    t.detail = "Failed to connect to 127.0.0.1 port 1 after 0 ms: Couldn't connect to server <&>";
    return t;
}

// Calls onOpen once the window is open; a close ends the loop with status 3.
struct Delegate : ui::WindowDelegate {
    std::function<void()> onOpen = [] {};
    ui::Window* window = nullptr;
    int closes = 0;
    void onWindowOpen() override { onOpen(); }
    void onWindowClose() override { ++closes, window->mainLoop().stop(3); }
};

// Runs the window's loop while a worker publishes `steps` pieces of 1 KiB `pause` apart. Then with
// "finish" the archive has arrived and what follows takes a second; with "fail" the transfer was
// cut at half its length and the run failed. Halfway, "log" writes a log line and a child's words,
// "close" closes the window as its user would, after which the worker's runSyncs must return at
// once. `look`, when given, runs on the main thread 500 ms after the transfer ('t') and after the
// failure ('f'). The window closes at the end unless "user" leaves that to its user. The loop's
// status.
inline int drive(Delegate& delegate, ui::Window& w, const std::string& flags, int steps,
                 std::chrono::microseconds pause, const std::function<void(char moment)>& look = {}) {
    const auto has = [&](const char* flag) { return flags.find(flag) != std::string::npos; };
    ui::RunSnapshot s;
    const auto publish = [&] { w.mainLoop().runSync([&, shown = s] { w.show(shown); }); };
    const auto settled = [&](char moment) {
        if (look)
            std::this_thread::sleep_for(std::chrono::milliseconds(500)), w.mainLoop().runSync([&] { look(moment); });
    };
    std::thread worker;
    delegate.window = &w;
    delegate.onOpen = [&] {
        worker = std::thread([&] {
            s.transfer.setMaximum(steps * (has("fail") ? 2048 : 1024));
            publish();
            for (int i = 0; i < steps; ++i, std::this_thread::sleep_for(pause)) {
                if (i == steps / 2 && has("log"))
                    platform::writeAll(STDERR_FILENO, "a log line\n"), std::system("echo a child writes >&2");
                if (i == steps / 2 && has("close")) w.mainLoop().runAfter(0, [&] { w.close(); });
                s.transfer.add(1024, ui::TransferMeter::Clock::now());
                publish();
            }
            if (has("finish")) {
                s.stage = ui::Stage::Extracting, s.transfer.finish(ui::TransferMeter::Clock::now());
                publish();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(has("finish") ? 1100 : 0));
            settled('t');
            if (has("fail")) {
                s.stage = ui::Stage::Failed, s.trouble = failureTrouble(), s.transfer.stop();
                publish();
                settled('f');
            }
            if (!has("user")) w.mainLoop().runSync([&] { w.close(); });
        });
    };
    w.mainLoop().runAfter(20, [&] { w.mainLoop().stop(-1); });
    const int status = w.mainLoop().run();
    return worker.join(), status;
}

}  // namespace bi
