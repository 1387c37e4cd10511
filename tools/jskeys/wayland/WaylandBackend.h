#pragma once
// jskeys on a Wayland compositor: keys and mouse actions through the virtual-keyboard and the
// wlroots virtual-pointer protocols, the focused window through wlroots foreign-toplevel
// management. The rest of jskeys sees only this header. Where jskeys was built without
// libwayland-client and xkbcommon, Connect says so and nothing else is reached.

#include <memory>
#include <string>

#include "Output.h"

namespace jskeys::wayland {

class Connection;

// What the compositor offers of what jskeys uses.
struct Offers {
  bool virtualKeyboard = false;
  bool virtualPointer = false;
  bool foreignToplevel = false;
};

// Connects to the compositor that $WAYLAND_DISPLAY (or $WAYLAND_SOCKET) names; none is tried
// when neither is set. Null with `error` set when there is none to reach.
std::shared_ptr<Connection> Connect(std::string& error);
Offers WhatItOffers(const Connection& connection);

// One virtual keyboard with one keymap, and a virtual pointer where the compositor has them,
// for the whole run. Null with `error` set when the compositor refuses or lacks the keyboard.
std::unique_ptr<KeyOutput> MakeKeyOutput(std::shared_ptr<Connection> connection,
                                         std::string& error);
// The activated toplevel's app_id and title. Null with `error` set without foreign-toplevel.
std::unique_ptr<FocusSource> MakeFocus(std::shared_ptr<Connection> connection,
                                       std::string& error);

}  // namespace jskeys::wayland
