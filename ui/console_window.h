// The console backend of the download window: status and progress on standard error.
#pragma once

#include <memory>

#include "ui/window.h"

namespace bi::ui {

// A window that owns a console main loop. While it exists, SIGINT, SIGTERM and SIGHUP close
// it instead of ending the process; the earlier dispositions come back when it goes.
std::unique_ptr<Window> makeConsoleWindow(WindowDelegate& delegate, const WindowSettings& settings = {});

}  // namespace bi::ui
