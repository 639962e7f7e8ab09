// Drives a window from openWindow the way the download controller does, for the window tests:
// a worker hands each change to the main thread with runSync. Standard error is the window's;
// standard output tells what the delegate saw.
//
//   console_window_helper progress STEPS MICROSECONDS [unknown]
//                                     STEPS increments of 1 KiB, of a known length or not, then close
//   console_window_helper failure                       a red failure text, then close
//   console_window_helper signal SIGNO                  sends itself SIGNO while the window is open
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "platform/window.h"

namespace {

volatile sig_atomic_t gMarkerHits = 0;
void marker(int) { gMarkerHits = gMarkerHits + 1; }
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

class Delegate : public platform::WindowDelegate {
public:
    std::function<void()> onLaunch;
    platform::Window* window = nullptr;
    int closes = 0;

    void applicationDidFinishLaunching() override {
        std::printf("launched %s\n", window->waitsForUserAfterFailure() ? "gtk" : "console");
        if (onLaunch) onLaunch();
    }
    void windowWillClose() override {
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
    auto window = platform::openWindow(delegate, "Helper");
    delegate.window = window.get();
    platform::Window& w = *window;
    std::thread worker;

    if (mode == "progress" && (argc == 4 || argc == 5)) {
        const int steps = std::atoi(argv[2]);
        const auto pause = std::chrono::microseconds(std::atoi(argv[3]));
        const bool unknown = argc == 5;
        delegate.onLaunch = [&, steps, pause, unknown] {
            worker = std::thread([&, steps, pause, unknown] {
                w.mainLoop().runSync([&] {
                    w.setProgressValue(0);
                    w.setProgressMaxValue(steps * 1024.0);
                    w.setProgressIndeterminate(unknown);
                    w.startProgressAnimation();
                });
                for (int i = 0; i < steps; ++i) {
                    w.mainLoop().runSync([&] {
                        w.setStatusText("Downloading", platform::TextColor::Normal);
                        w.incrementProgressBy(1024);
                        w.refresh();
                    });
                    std::this_thread::sleep_for(pause);
                }
                w.mainLoop().runSync([&] { w.close(); });
            });
        };
    } else if (mode == "failure") {
        delegate.onLaunch = [&] {
            w.setStatusText("Error during the download process.", platform::TextColor::Red);
            w.close();
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
