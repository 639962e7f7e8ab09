// The download window's controls behind one interface, with two backends: a GTK 3 window,
// loaded as a plug-in when a display is available, and the console otherwise.
#pragma once

#include <memory>
#include <string>

#include "ui/main_loop.h"

namespace bi::ui {

enum class TextColor { Normal, Red };

// What the window tells its controller; both calls come on the main thread.
class WindowDelegate {
public:
    virtual ~WindowDelegate() = default;
    // Once, when the loop has started and the window is shown.
    virtual void onWindowOpen() = 0;
    // Once, when the window is about to close: the user closed it (button, close box,
    // Ctrl-C, SIGTERM or SIGHUP on the console) or close() was called.
    virtual void onWindowClose() = 0;
};

// Every call, except mainLoop(), on the main thread only.
class Window {
public:
    virtual ~Window() = default;

    virtual MainLoop& mainLoop() = 0;

    // Progress bar: a value out of a maximum, or indeterminate (a bar without extent).
    // The words beside it (received, total, speed, time left) count what advanceProgress
    // adds, with the total as it stood then: a value set afterwards, as a failure fills the
    // bar, moves only the bar; a value below what was counted starts the count afresh.
    virtual void setProgressValue(double value) = 0;
    virtual double progressMaxValue() const = 0;
    virtual void setProgressMaxValue(double max) = 0;
    virtual void advanceProgress(double delta) = 0;
    virtual void setProgressIndeterminate(bool indeterminate) = 0;
    virtual void startProgressAnimation() = 0;
    virtual void stopProgressAnimation() = 0;

    // The status text; red for a failure, shown in whole, wrapped if need be.
    virtual void setStatusText(const std::string& text, TextColor color) = 0;

    // The archive has arrived whole: the words about the transfer give way to a summary
    // ("Downloaded 48.0 MiB in 1.2 s") and to the time that what follows takes.
    virtual void downloadFinished() {}

    // The one button; pressing it (or Return) closes the window, as Escape and the close box do.
    virtual void setButtonTitle(const std::string& title) = 0;
    virtual void setButtonEnabled(bool enabled) = 0;

    // The splash image, scaled proportionally into width x height points, not editable.
    // A file that cannot be read as an image leaves the window without one.
    virtual void setSplashImage(const std::string& path, int width, int height) = 0;

    // Lays out and redraws what changed.
    virtual void refresh() = 0;

    // Closes the window: onWindowClose() runs once, then the window is gone.
    virtual void close() = 0;

    // False on the console, where nobody can read a failure and close the window; the
    // controller then closes it itself after showing a failure.
    virtual bool waitsForUserAfterFailure() const = 0;
};

// Whether openWindow tries the GTK window: a display is set, and BI_WINDOW does not say "console".
bool wantsGtk();

// The GTK window when DISPLAY or WAYLAND_DISPLAY is set and the plug-in opens it, else the
// console window. The delegate must outlive the window.
std::unique_ptr<Window> openWindow(WindowDelegate& delegate, const std::string& title);

// The window's title: the bundle's name without ".app" ("Demo Setup"), or the program's
// name when it lies in no bundle.
std::string windowTitle();

}  // namespace bi::ui
