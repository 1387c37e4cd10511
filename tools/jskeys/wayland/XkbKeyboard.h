#pragma once
// The keyboard the virtual keyboard stands for: a US keymap made by xkbcommon from evdev key
// codes, and the modifier state that the keys sent so far give, as a real keyboard's would.

#include <xkbcommon/xkbcommon.h>

#include <cstdint>
#include <memory>
#include <string>

#include "UniqueFd.h"

namespace jskeys::wayland {

struct ModifierState {
  std::uint32_t depressed = 0;
  std::uint32_t latched = 0;
  std::uint32_t locked = 0;
  std::uint32_t group = 0;
};

class XkbKeyboard {
 public:
  // False with `error` set when xkbcommon cannot make the keymap (no XKB data installed).
  bool Make(std::string& error);
  // The keymap as text in a sealed memory file, as the compositor maps it; `size` counts the
  // ending zero byte, which the compositor's parser needs.
  jsposix::UniqueFd KeymapFile(std::uint32_t& size, std::string& error) const;
  // Follows a key going down or up (an evdev code); true when the modifiers changed.
  bool Update(std::uint32_t evdev, bool down);
  ModifierState Modifiers() const;

 private:
  template <typename T, void (*Unref)(T*)>
  struct Unreffer {
    void operator()(T* object) const { Unref(object); }
  };
  std::unique_ptr<xkb_context, Unreffer<xkb_context, &xkb_context_unref>> context_;
  std::unique_ptr<xkb_keymap, Unreffer<xkb_keymap, &xkb_keymap_unref>> keymap_;
  std::unique_ptr<xkb_state, Unreffer<xkb_state, &xkb_state_unref>> state_;
};

}  // namespace jskeys::wayland
