// Drives a window from a worker as the download controller does, for the window tests.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "platform/system_log.h"
#include "ui/window.h"

namespace bi {

// A failure's reason: long enough to wrap, with characters that markup would take for its own.
inline const std::string kFailure =
    "Error during the download process. Failed to connect to 127.0.0.1 port 1 after 0 ms: Couldn't connect to server "
    "<&>";

// Calls onOpen once the window is open; a close ends the loop with status 3.
struct Delegate : ui::WindowDelegate {
    std::function<void()> onOpen = [] {};
    ui::Window* window = nullptr;
    int closes = 0;
    void onWindowOpen() override { onOpen(); }
    void onWindowClose() override { ++closes, window->mainLoop().stop(3); }
};

// Runs the window's loop while a worker sends it `steps` pieces of 1 KiB `pause` apart. Then with
// "finish" the archive has arrived and what follows takes a second; with "fail" the transfer was
// cut at half its length and the window shows the failure as the controller does. Halfway, "log"
// writes a log line and a child's words, "close" closes the window as its user would, after which
// the worker's runSyncs must return at once. `look`, when given, runs on the main thread 500 ms
// after the transfer ('t') and after the failure ('f'). The window closes at the end unless
// "user" leaves that to its user. The loop's status.
inline int drive(Delegate& delegate, ui::Window& w, const std::string& flags, int steps,
                 std::chrono::microseconds pause, const std::function<void(char moment)>& look = {}) {
    const auto has = [&](const char* flag) { return flags.find(flag) != std::string::npos; };
    const auto onMain = [&](const std::function<void()>& fn) { w.mainLoop().runSync(fn); };
    const auto settled = [&](char moment) {
        if (look) std::this_thread::sleep_for(std::chrono::milliseconds(500)), onMain([&] { look(moment); });
    };
    std::thread worker;
    delegate.window = &w;
    delegate.onOpen = [&] {
        worker = std::thread([&] {
            onMain([&] {
                w.setProgressMaxValue(steps * (has("fail") ? 2048 : 1024)),
                    w.setStatusText("Downloading", ui::TextColor::Normal);
            });
            for (int i = 0; i < steps; ++i, std::this_thread::sleep_for(pause)) {
                if (i == steps / 2 && has("log"))
                    platform::writeAll(STDERR_FILENO, "a log line\n"), std::system("echo a child writes >&2");
                if (i == steps / 2 && has("close")) w.mainLoop().runAfter(0, [&] { w.close(); });
                onMain([&] { w.advanceProgress(1024); });
            }
            if (has("finish"))
                onMain([&] {
                    w.downloadFinished(), w.setStatusText("Initializing the installer", ui::TextColor::Normal);
                });
            std::this_thread::sleep_for(std::chrono::milliseconds(has("finish") ? 1100 : 0));
            settled('t');
            if (has("fail")) {
                onMain(
                    [&] { w.setProgressValue(w.progressMaxValue()), w.setStatusText(kFailure, ui::TextColor::Red); });
                settled('f');
            }
            if (!has("user")) onMain([&] { w.close(); });
        });
    };
    w.mainLoop().runAfter(20, [&] { w.mainLoop().stop(-1); });
    const int status = w.mainLoop().run();
    return worker.join(), status;
}

}  // namespace bi
