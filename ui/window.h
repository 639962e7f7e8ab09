// The download window: it shows what a run has come to, and says when it was opened and
// closed. Two backends: a GTK 3 window, loaded as a plug-in when a display is available, and
// the console otherwise. Each decides only how it shows a snapshot: the GTK window counts a
// retry's wait down and keeps a failure until its user closes it; the console says each
// thing once and closes itself once it has said a failure.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ui/main_loop.h"
#include "ui/proxy_question.h"
#include "ui/run_snapshot.h"

namespace bi::ui {

// What the window tells its owner; every call comes on the main thread.
class WindowDelegate {
public:
    virtual ~WindowDelegate() = default;
    // Once, when the loop has started and the window is shown.
    virtual void onWindowOpen() = 0;
    // Once, when the window is about to close: its user closed it (button, close box, Escape,
    // Ctrl-C, SIGTERM or SIGHUP on the console), or it closed itself after a ready run or the
    // console's failure.
    virtual void onWindowClose() = 0;
    // The answer to a snapshot's ProxyLogin question: nullopt when its user gave up (Cancel, an
    // empty user name); the owner moves the password on and leaves nothing of it here.
    virtual void onProxyLogin(std::optional<ProxyLogin> login) = 0;
    // Its user asked for another attempt after a failure that snapshot.mayRetry offered it
    // for; the window stays open and shows what follows.
    virtual void onTryAgain() {}
};

// The environment's switches for the windows (read once into the settings).
struct WindowSettings {
    bool console = false;       // BI_WINDOW=console: the console even with a display
    std::string transcript;     // BI_WINDOW_TRANSCRIPT: a file the GTK window appends what it shows to
    bool loopStats = false;     // BI_MAIN_LOOP_STATS: the loop prints its longest busy stretch
    bool noColour = false;      // NO_COLOR set and not empty: the console writes no colour
    bool dumbTerminal = false;  // TERM=dumb: the console writes plain lines, as in a pipe
};

struct WindowSetup {
    std::string title;
    std::string splash;  // an image to show above the status; "" or an unreadable one: none
    WindowSettings settings;
    std::string splash2x;  // the same image at twice the pixels, for a screen of scale 2 or more
    std::string icon;      // the window's icon; "" or an unreadable one: the desktop's for installers
};

// Every call, except mainLoop(), on the main thread only.
class Window {
public:
    virtual ~Window() = default;

    virtual MainLoop& mainLoop() = 0;

    // Shows the run as it stands now. A ready run closes the window (the GTK window after a
    // moment, when it says that the server could not be reached).
    virtual void show(const RunSnapshot& snapshot) = 0;

    // Closes the window: onWindowClose() runs once, then the window is gone.
    virtual void close() = 0;

    // Whether a snapshot's ProxyLogin question can be asked: a GTK window, or a terminal.
    virtual bool canAskProxyLogin() const = 0;
};

// Whether openWindow tries the GTK window: a display is set, and the settings do not ask for
// the console.
bool wantsGtk(const WindowSettings& settings);

// The GTK window when a display is set and the plug-in opens it, else the console window. The
// delegate must outlive the window.
std::unique_ptr<Window> openWindow(WindowDelegate& delegate, const WindowSetup& setup);

// The window's title: the bundle's name without ".app" ("Demo Setup"), or the program's
// name when it lies in no bundle.
std::string windowTitle();

}  // namespace bi::ui
