#include "download/download_entry.h"

#include <unistd.h>

#include <cstdlib>

#include "agent/mirror_file.h"
#include "download/download.h"
#include "download/download_texts.h"
#include "host/constants.h"
#include "host/locations.h"
#include "platform/signal_watch.h"
#include "platform/system_log.h"
#include "ui/window.h"

namespace bi {

namespace {

// A window that only shows a failure until it is closed.
class FailureShown final : public ui::WindowDelegate {
public:
    explicit FailureShown(std::string text) : text_(std::move(text)) {}
    void show(ui::Window& window) {
        window_ = &window;
        window.setProgressValue(0.0);
        window.setProgressMaxValue(100.0);
        window.setButtonTitle(tr("Close"));
    }
    void onWindowOpen() override {
        window_->setStatusText(text_, ui::TextColor::Red);
        window_->refresh();
        if (window_->waitsForUserAfterFailure()) {
            platform::writeAll(STDERR_FILENO, text_ + "\n");
        } else {
            window_->close();
        }
    }
    void onWindowClose() override { window_->mainLoop().stop(0); }

private:
    std::string text_;
    ui::Window* window_ = nullptr;
};

}  // namespace

std::optional<Failure> downloadAgent(const std::string& destination, std::string url) {
    std::vector<std::string> mirrors;
    if (const char* overridden = std::getenv(kAgentUrlVariable)) {
        url = overridden;  // a URL of its own, for which the bundle's mirrors do not speak
    } else {
        const std::string file = getBundleLocation() + PATH_SEPARATOR + kMirrorFileName;
        MirrorList list = readMirrorFile(file);
        if (!list.ignored.empty()) {
            platform::systemLog("The mirror file " + file + " is ignored: " + list.ignored +
                                "; only the bundle's URL is used");
        }
        mirrors = std::move(list.urls);
    }
    Download controller(std::move(url), destination, std::move(mirrors));
    const std::unique_ptr<ui::Window> window = ui::openWindow(controller, ui::windowTitle());
    controller.attach(*window);
    // Ctrl-C, SIGTERM and SIGHUP close the window, whichever backend shows it.
    const platform::SignalWatch signals([&] { window->mainLoop().runAfter(0, [&] { window->close(); }); });
    window->mainLoop().run();
    controller.shutDown();
    return controller.outcome();
}

void showFailure(const Failure& failure, bool onConsole) {
    if (!onConsole && !ui::wantsGtk()) return;
    platform::systemLog(logLine(failure));
    FailureShown shown(windowText(failure));
    const std::unique_ptr<ui::Window> window = ui::openWindow(shown, ui::windowTitle());
    shown.show(*window);
    const platform::SignalWatch signals([&] { window->mainLoop().runAfter(0, [&] { window->close(); }); });
    window->mainLoop().run();
}

}  // namespace bi
