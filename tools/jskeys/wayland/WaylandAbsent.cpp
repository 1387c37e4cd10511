// The Wayland backend where jskeys was built without libwayland-client and xkbcommon.

#include "WaylandBackend.h"

namespace jskeys::wayland {

class Connection {};

std::shared_ptr<Connection> Connect(std::string& error) {
  error = "jskeys was built without Wayland (it needs libwayland-client and xkbcommon)";
  return nullptr;
}

Offers WhatItOffers(const Connection&) { return {}; }

std::unique_ptr<KeyOutput> MakeKeyOutput(std::shared_ptr<Connection>, std::string& error) {
  Connect(error);
  return nullptr;
}

std::unique_ptr<FocusSource> MakeFocus(std::shared_ptr<Connection>, std::string& error) {
  Connect(error);
  return nullptr;
}

}  // namespace jskeys::wayland
