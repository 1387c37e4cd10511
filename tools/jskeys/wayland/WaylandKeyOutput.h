#pragma once
// Keys through one virtual keyboard, buttons and wheel steps through one virtual pointer, both
// made once for the whole run: a compositor may lose the first keys of a keyboard whose keymap
// it has only just been given.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
  jsprogram::WaitHandle Handle() const override { return connection_->Handle(); }
  void Dispatch() override;
  // Releases still owed go out, and the compositor is given up to kFinishWait to take them.
  void Finish() override;
  static constexpr std::chrono::milliseconds kFinishWait{300};

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
  // Room for `requests` more; false when the compositor's socket stayed full (the action is
  // dropped, and said) or the connection is lost.
  bool Room(std::size_t requests);
  // Waits, when need be, so that presses go out no faster than kStrokesPerSecond. False when a
  // stop request ended the wait.
  bool Pace();
  // False, remembering a release that could not go out.
  bool Owe(bool button, std::uint16_t evdev, bool down);
  // Releases that a full socket kept back go out before anything else.
  bool SendOwed();
  // The requests themselves, once there is room for them.
  void PutKey(std::uint16_t evdev, bool down);
  void PutButton(std::uint16_t evdev, bool down);
  static std::uint32_t Now();

  struct Owed {
    bool button;
    std::uint16_t evdev;
  };

  std::shared_ptr<Connection> connection_;  // first in, last out: outlives every proxy below
  XkbKeyboard xkb_;
  Owned<wl_seat> seat_;
  Owned<zwp_virtual_keyboard_v1> keyboard_;
  Owned<zwlr_virtual_pointer_v1> pointer_;  // may be null
  // sway hands each key on to the focused client at once, and drops a client whose socket has
  // filled (a thousand keys' worth or so) while it was busy: a client takes keys at its own pace.
  // Far above what a hand on the jog gives (a key's autorepeat is some 30 a second), and a jog
  // message of 127 steps still goes at once; low enough that a client on a busy machine keeps up
  // (wev was dropped at 10,000 a second on an idle one, and at 4,000 on a busy one).
  static constexpr double kStrokesPerSecond = 1000;
  static constexpr double kStrokesAtOnce = 250;
  static constexpr double kStrokesAfterWait = 4;  // credit a wait gathers, to wait less often
  static constexpr std::chrono::microseconds kAlone{50};
  double credit_ = kStrokesAtOnce;
  std::chrono::steady_clock::time_point paced_ = std::chrono::steady_clock::now();
  std::vector<Owed> owed_;
  std::size_t dropped_ = 0;  // actions dropped since the socket last stayed full
  bool lossTold_ = false;
  bool noPointerTold_ = false;
};

}  // namespace jskeys::wayland
