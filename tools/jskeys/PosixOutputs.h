#pragma once
// Where keys go and where the focus comes from on Linux: uinput, the Wayland virtual keyboard
// or XTest for the keys; Wayland foreign-toplevel management or X11 for the focus.

#include "KeysMain.h"

namespace jskeys {

// The default backend is the first that works of uinput, the Wayland virtual keyboard and
// XTest. Says on standard error which one sends the keys, and once when no window system can
// tell the focused window.
Outputs MakePosixOutputs(Backend backend);

}  // namespace jskeys
