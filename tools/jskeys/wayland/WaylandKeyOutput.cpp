#include "WaylandKeyOutput.h"

#include <algorithm>
#include <chrono>

#include "Program.h"

namespace jskeys::wayland {
namespace {

// One wheel step in wl_pointer's axis units: what a mouse wheel's click gives through libinput.
constexpr double kWheelStep = 15.0;

}  // namespace

std::unique_ptr<WaylandKeyOutput> WaylandKeyOutput::Create(std::shared_ptr<Connection> connection,
                                                           std::string& error) {
  if (!connection->Offers(zwp_virtual_keyboard_manager_v1_interface)) {
    error = "the Wayland compositor offers no virtual keyboard (zwp_virtual_keyboard_manager_v1)";
    return nullptr;
  }
  std::unique_ptr<WaylandKeyOutput> output(new WaylandKeyOutput(connection));
  if (!output->xkb_.Make(error)) return nullptr;
  output->seat_.reset(static_cast<wl_seat*>(connection->Bind(wl_seat_interface, 1)));
  if (!output->seat_) {
    error = "the Wayland compositor has no seat";
    return nullptr;
  }
  Owned<zwp_virtual_keyboard_manager_v1> keyboards(static_cast<zwp_virtual_keyboard_manager_v1*>(
      connection->Bind(zwp_virtual_keyboard_manager_v1_interface, 1)));
  output->keyboard_.reset(zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(
      keyboards.get(), output->seat_.get()));
  std::uint32_t size = 0;
  const jsposix::UniqueFd keymap = output->xkb_.KeymapFile(size, error);
  if (!keymap.valid()) return nullptr;
  zwp_virtual_keyboard_v1_keymap(output->keyboard_.get(), WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1,
                                 keymap.get(), size);
  if (connection->Offers(zwlr_virtual_pointer_manager_v1_interface)) {
    Owned<zwlr_virtual_pointer_manager_v1> pointers(static_cast<zwlr_virtual_pointer_manager_v1*>(
        connection->Bind(zwlr_virtual_pointer_manager_v1_interface, 1)));
    output->pointer_.reset(zwlr_virtual_pointer_manager_v1_create_virtual_pointer(
        pointers.get(), output->seat_.get()));
  }
  // The keymap is the compositor's before the first key; a refusal shows here, at start.
  if (!connection->Roundtrip(error)) return nullptr;
  return output;
}

std::uint32_t WaylandKeyOutput::Now() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool WaylandKeyOutput::Alive() {
  if (!connection_->Lost()) return true;
  if (!lossTold_) jsprogram::Say(connection_->Fault());
  lossTold_ = true;
  return false;
}

bool WaylandKeyOutput::HasPointer() {
  if (pointer_) return true;
  if (!noPointerTold_) {
    jsprogram::Say(
        "the Wayland compositor offers no virtual pointer "
        "(zwlr_virtual_pointer_manager_v1): mouse actions are dropped");
  }
  noPointerTold_ = true;
  return false;
}

bool WaylandKeyOutput::Room(std::size_t requests) {
  if (!connection_->Room(requests)) {
    if (!Alive()) return false;
    if (dropped_++ == 0) {
      jsprogram::Say("the Wayland compositor has read nothing of ours for " +
                     std::to_string(Connection::kFullWait.count()) +
                     " ms: key actions are dropped until it reads again");
    }
    return false;
  }
  if (dropped_ > 0) {
    jsprogram::Say("the Wayland compositor reads again; " + std::to_string(dropped_) +
                   " key actions were dropped");
    dropped_ = 0;
  }
  return true;
}

bool WaylandKeyOutput::Pace() {
  using Seconds = std::chrono::duration<double>;
  const auto now = std::chrono::steady_clock::now();
  const auto gap = now - paced_;
  credit_ = std::min(kStrokesAtOnce, credit_ + Seconds(gap).count() * kStrokesPerSecond);
  paced_ = now;
  // A press on its own, well after the one before, is no burst: the client has had the time to
  // read what came before it. Only presses that come back to back (a jog message of many steps)
  // spend the credit.
  if (gap >= kAlone) return true;
  if (credit_ < 1) {
    const auto until = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 Seconds((kStrokesAfterWait - credit_) / kStrokesPerSecond));
    if (!connection_->ServeUntil(until)) return false;
    credit_ = kStrokesAfterWait;
    paced_ = until;
  }
  credit_ -= 1;
  return true;
}

// A release that could not go out is owed: the compositor would otherwise hold the key down.
bool WaylandKeyOutput::Owe(bool button, std::uint16_t evdev, bool down) {
  if (!down && std::find_if(owed_.begin(), owed_.end(), [&](const Owed& owed) {
                 return owed.button == button && owed.evdev == evdev;
               }) == owed_.end()) {
    owed_.push_back({button, evdev});
  }
  return false;
}

bool WaylandKeyOutput::SendOwed() {
  while (!owed_.empty()) {
    if (!Room(2)) return false;
    const Owed owed = owed_.front();
    owed_.erase(owed_.begin());
    if (owed.button) {
      PutButton(owed.evdev, false);
    } else {
      PutKey(owed.evdev, false);
    }
  }
  return true;
}

void WaylandKeyOutput::PutKey(std::uint16_t evdev, bool down) {
  zwp_virtual_keyboard_v1_key(
      keyboard_.get(), Now(), evdev,
      down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
  // Clients learn ctrl and shift from the modifier state, not from the keys.
  if (xkb_.Update(evdev, down)) {
    const ModifierState m = xkb_.Modifiers();
    zwp_virtual_keyboard_v1_modifiers(keyboard_.get(), m.depressed, m.latched, m.locked, m.group);
  }
}

void WaylandKeyOutput::PutButton(std::uint16_t evdev, bool down) {
  zwlr_virtual_pointer_v1_button(
      pointer_.get(), Now(), evdev,
      down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  zwlr_virtual_pointer_v1_frame(pointer_.get());
}

bool WaylandKeyOutput::Key(std::uint16_t evdev, bool down) {
  if (!Alive()) return false;
  if (down && !Pace()) return false;
  if (!SendOwed() || !Room(2)) return Owe(false, evdev, down);
  PutKey(evdev, down);
  return true;
}

bool WaylandKeyOutput::Button(std::uint16_t evdev, bool down) {
  if (!Alive() || !HasPointer()) return false;
  if (down && !Pace()) return false;
  if (!SendOwed() || !Room(2)) return Owe(true, evdev, down);
  PutButton(evdev, down);
  return true;
}

bool WaylandKeyOutput::Wheel(Pointer pointer) {
  if (!Alive() || !HasPointer()) return false;
  if (!Pace() || !SendOwed() || !Room(3)) return false;
  // wl_pointer counts down and right as positive.
  const bool vertical = pointer == Pointer::kWheelUp || pointer == Pointer::kWheelDown;
  const int steps = pointer == Pointer::kWheelDown || pointer == Pointer::kWheelRight ? 1 : -1;
  const std::uint32_t axis =
      vertical ? WL_POINTER_AXIS_VERTICAL_SCROLL : WL_POINTER_AXIS_HORIZONTAL_SCROLL;
  const std::uint32_t time = Now();
  // axis_discrete carries the axis value with the step count; an axis request beside it would
  // count the step twice where a compositor adds up the axis requests of a frame.
  zwlr_virtual_pointer_v1_axis_source(pointer_.get(), WL_POINTER_AXIS_SOURCE_WHEEL);
  zwlr_virtual_pointer_v1_axis_discrete(pointer_.get(), time, axis,
                                        wl_fixed_from_double(kWheelStep * steps), steps);
  zwlr_virtual_pointer_v1_frame(pointer_.get());
  return true;
}

bool WaylandKeyOutput::KeyDown(KeyId key) {
  const KeyInfo& info = AllKeys()[key];
  if (IsWheel(info.pointer)) return Wheel(info.pointer);
  if (info.pointer != Pointer::kNone) return Button(info.evdev, true);
  return Key(info.evdev, true);
}

bool WaylandKeyOutput::KeyUp(KeyId key) {
  const KeyInfo& info = AllKeys()[key];
  if (IsWheel(info.pointer)) return true;
  if (info.pointer != Pointer::kNone) return Button(info.evdev, false);
  return Key(info.evdev, false);
}

bool WaylandKeyOutput::Broken() const { return connection_->Lost(); }

void WaylandKeyOutput::Flush() {
  // Requests a full socket keeps back stay queued for the next flush; only loss is said.
  if (!connection_->Flush()) Alive();
}

void WaylandKeyOutput::Dispatch() {
  if (!connection_->Dispatch()) {
    Alive();
    return;
  }
  if (!owed_.empty() && !connection_->Full() && SendOwed()) Flush();
}

void WaylandKeyOutput::Finish() {
  if (!Alive()) return;
  SendOwed();
  if (!connection_->Settle(std::chrono::steady_clock::now() + kFinishWait) && Alive()) {
    jsprogram::Say("the Wayland compositor did not take our last keys within " +
                   std::to_string(kFinishWait.count()) + " ms");
  }
}

std::unique_ptr<KeyOutput> MakeKeyOutput(std::shared_ptr<Connection> connection,
                                         std::string& error) {
  return WaylandKeyOutput::Create(std::move(connection), error);
}

}  // namespace jskeys::wayland
