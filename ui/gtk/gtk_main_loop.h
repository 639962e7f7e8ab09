// The GTK window's main loop, on GLib's default main context where GTK delivers its events.
#pragma once

#include <glib.h>

#include <functional>
#include <memory>

#include "ui/main_loop.h"

namespace bi::ui {

struct GtkLoopState;

class GtkMainLoop final : public MainLoop {
public:
    explicit GtkMainLoop(bool stats);
    ~GtkMainLoop() override;
    int run() override;
    void stop(int status) override;
    void runSync(std::function<void()> fn) override;
    void runAfter(double seconds, std::function<void()> fn) override;

private:
    std::shared_ptr<GtkLoopState> state_;  // shared with the sources it posts, which may outlive it
    GMainLoop* loop_;
    bool stats_;  // prints the longest busy stretch when run() returns
};

}  // namespace bi::ui
