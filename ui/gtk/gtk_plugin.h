// The one entry point of the GTK plug-in, shared by the plug-in and the loader. The version
// in the name keeps a plug-in built against other interfaces from being called.
#pragma once

#include "ui/i18n.h"
#include "ui/window.h"

namespace bi::ui {

// The plug-in's file, looked for beside the executable, then in <exe dir>/../lib/<name>/.
inline constexpr const char* kGtkPluginFile = "bootstrap-installer-gtk.so";
inline constexpr const char* kGtkPluginSubdir = "../lib/bootstrap-installer";
inline constexpr const char* kGtkPluginFactory = "bi_gtk_open_window_v4";

// Opens the GTK window, or returns null when GTK cannot reach a display. The caller owns the
// window; the delegate and the language must outlive it.
using GtkWindowFactory = Window* (*)(WindowDelegate* delegate, const WindowSetup* setup, const Language* language);

}  // namespace bi::ui
