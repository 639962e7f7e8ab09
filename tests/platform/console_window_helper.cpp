// Drives a window from openWindow the way the download controller does, for the window tests:
// a worker hands each change to the main thread with runSync. Standard error is the window's;
// standard output tells what the delegate saw.
//
//   console_window_helper progress STEPS MICROSECONDS [FLAGS...]
//       STEPS increments of 1 KiB, then close. FLAGS:
//       unknown  no length is known
//       log      halfway, a log line and a child's message go to standard error
//       finish   the download finishes and what follows takes a second
//       fail     the transfer is cut at half its length and fails, as the controller shows it
//   console_window_helper signal SIGNO   sends itself SIGNO while the window is open
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "platform/system_log.h"
#include "ui/window.h"

using namespace bi;

namespace {

volatile sig_atomic_t gMarkerHits = 0;
void marker(int) { gMarkerHits = gMarkerHits + 1; }
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

class Delegate : public ui::WindowDelegate {
public:
    std::function<void()> onLaunch;
    ui::Window* window = nullptr;
    int closes = 0;

    void onWindowOpen() override {
        std::printf("launched %s\n", window->waitsForUserAfterFailure() ? "gtk" : "console");
        if (onLaunch) onLaunch();
    }
    void onWindowClose() override {
        ++closes;
        window->mainLoop().stop(3);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string mode = argv[1];
    for (int s : kSignals) ::signal(s, marker);

    Delegate delegate;
    auto window = ui::openWindow(delegate, "Helper");
    delegate.window = window.get();
    ui::Window& w = *window;
    std::thread worker;
    const std::set<std::string> flags(argv + std::min(argc, 4), argv + argc);
    const auto has = [&](const char* flag) { return flags.count(flag) > 0; };

    if (mode == "progress" && argc >= 4) {
        const int steps = std::atoi(argv[2]);
        const auto pause = std::chrono::microseconds(std::atoi(argv[3]));
        delegate.onLaunch = [&, steps, pause] {
            worker = std::thread([&, steps, pause] {
                const auto onMain = [&](const std::function<void()>& fn) { w.mainLoop().runSync(fn); };
                onMain([&] {
                    w.setProgressValue(0);
                    w.setProgressMaxValue(steps * 1024.0 * (has("fail") ? 2 : 1));
                    w.setStatusText("Downloading", ui::TextColor::Normal);
                    w.setProgressIndeterminate(has("unknown"));
                    w.startProgressAnimation();
                });
                for (int i = 0; i < steps; ++i) {
                    if (i == steps / 2 && has("log")) {
                        platform::systemLog("a log line");
                        std::system("echo a child writes >&2");
                    }
                    onMain([&] {
                        w.advanceProgress(1024);
                        w.refresh();
                    });
                    std::this_thread::sleep_for(pause);
                }
                if (has("finish")) {
                    onMain([&] {
                        w.downloadFinished();
                        w.setStatusText("Initializing the installer", ui::TextColor::Normal);
                        w.setProgressIndeterminate(true);
                    });
                    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
                }
                onMain([&] {
                    if (has("fail")) {
                        w.stopProgressAnimation();
                        w.setProgressIndeterminate(false);
                        w.setProgressValue(w.progressMaxValue());
                        w.setStatusText("Error during the download process. Failed to connect to 127.0.0.1 port 1 "
                                        "after 0 ms: Couldn't connect to server",
                                        ui::TextColor::Red);
                    }
                    w.close();
                });
            });
        };
    } else if (mode == "signal" && argc == 3) {
        const int signo = std::atoi(argv[2]);
        delegate.onLaunch = [signo] { ::kill(::getpid(), signo); };
    } else {
        return 2;
    }

    const int status = w.mainLoop().run();
    if (worker.joinable()) worker.join();
    w.close();  // a second close tells the delegate nothing
    window.reset();
    std::printf("closed %d status %d\n", delegate.closes, status);

    bool restored = true;
    for (int s : kSignals) {
        struct sigaction now {};
        ::sigaction(s, nullptr, &now);
        restored = restored && now.sa_handler == marker;
    }
    if (mode == "signal") ::kill(::getpid(), std::atoi(argv[2]));
    std::printf("restored %s marker %d\n", restored ? "yes" : "no", static_cast<int>(gMarkerHits));
    return 0;
}
