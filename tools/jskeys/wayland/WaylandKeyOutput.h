#pragma once
// Keys through one virtual keyboard, buttons and wheel steps through one virtual pointer, both
// made once for the whole run: a compositor may lose the first keys of a keyboard whose keymap
// it has only just been given.

#include <cstdint>
#include <memory>
#include <string>

#include "Output.h"
#include "WaylandConnection.h"
#include "XkbKeyboard.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace jskeys::wayland {

class WaylandKeyOutput final : public KeyStrokeOutput {
 public:
  // Null with `error` set when the compositor has no virtual keyboard for us.
  static std::unique_ptr<WaylandKeyOutput> Create(std::shared_ptr<Connection> connection,
                                                  std::string& error);
  void Flush() override;
  // The virtual keyboard goes with its compositor; a new one would not know what this one held.
  bool Broken() const override;
  const char* Gone() const override { return "the Wayland compositor"; }

 protected:
  bool KeyDown(KeyId key) override;
  bool KeyUp(KeyId key) override;

 private:
  explicit WaylandKeyOutput(std::shared_ptr<Connection> connection)
      : connection_(std::move(connection)) {}
  bool Key(std::uint16_t evdev, bool down);
  bool Button(std::uint16_t evdev, bool down);
  bool Wheel(Pointer pointer);
  bool HasPointer();
  bool Alive();
  static std::uint32_t Now();

  std::shared_ptr<Connection> connection_;  // first in, last out: outlives every proxy below
  XkbKeyboard xkb_;
  Owned<wl_seat> seat_;
  Owned<zwp_virtual_keyboard_v1> keyboard_;
  Owned<zwlr_virtual_pointer_v1> pointer_;  // may be null
  bool lossTold_ = false;
  bool noPointerTold_ = false;
};

}  // namespace jskeys::wayland
