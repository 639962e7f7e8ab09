#include "download/download_entry.h"

#include <cstdlib>

#include "download/download.h"
#include "host/constants.h"
#include "platform/signal_watch.h"
#include "ui/window.h"

namespace bi {

bool downloadAgent(const std::string& destination, std::string url) {
    if (const char* overridden = std::getenv(kAgentUrlVariable)) url = overridden;
    Download controller(std::move(url), destination);
    const std::unique_ptr<ui::Window> window = ui::openWindow(controller, ui::windowTitle());
    controller.attach(*window);
    // Ctrl-C, SIGTERM and SIGHUP close the window, whichever backend shows it.
    const platform::SignalWatch signals([&] { window->mainLoop().runAfter(0, [&] { window->close(); }); });
    const int status = window->mainLoop().run();
    controller.shutDown();
    return status != 0;
}

}  // namespace bi
