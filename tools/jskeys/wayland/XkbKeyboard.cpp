#include "XkbKeyboard.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace jskeys::wayland {
namespace {

// xkbcommon's key codes are the evdev codes moved up by 8, as X's always were.
constexpr std::uint32_t kEvdevToXkb = 8;

}  // namespace

bool XkbKeyboard::Make(std::string& error) {
  context_.reset(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
  if (!context_) {
    error = "xkbcommon cannot start";
    return false;
  }
  // The key codes jskeys sends are a US keyboard's, whatever the user's own layout is.
  const xkb_rule_names names = {"evdev", "pc105", "us", "", ""};
  keymap_.reset(xkb_keymap_new_from_names(context_.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
  if (!keymap_) {
    error = "xkbcommon cannot make a US keymap (is xkb-data installed?)";
    return false;
  }
  state_.reset(xkb_state_new(keymap_.get()));
  if (!state_) {
    error = "xkbcommon cannot make a keyboard state";
    return false;
  }
  return true;
}

jsposix::UniqueFd XkbKeyboard::KeymapFile(std::uint32_t& size, std::string& error) const {
  std::unique_ptr<char, decltype(&std::free)> text(
      xkb_keymap_get_as_string(keymap_.get(), XKB_KEYMAP_FORMAT_TEXT_V1), &std::free);
  if (!text) {
    error = "xkbcommon cannot write the keymap";
    return {};
  }
  const std::size_t bytes = std::strlen(text.get()) + 1;
  jsposix::UniqueFd file(memfd_create("jskeys-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!file.valid()) {
    error = std::string("memfd_create: ") + std::strerror(errno);
    return {};
  }
  std::size_t written = 0;
  while (written < bytes) {
    const ssize_t got = write(file.get(), text.get() + written, bytes - written);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      error = std::string("writing the keymap: ") + std::strerror(errno);
      return {};
    }
    written += static_cast<std::size_t>(got);
  }
  // The compositor maps the file; sealed, it can neither shrink under it nor change.
  fcntl(file.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  size = static_cast<std::uint32_t>(bytes);
  return file;
}

bool XkbKeyboard::Update(std::uint32_t evdev, bool down) {
  const auto changed = xkb_state_update_key(state_.get(), evdev + kEvdevToXkb,
                                            down ? XKB_KEY_DOWN : XKB_KEY_UP);
  return (changed & (XKB_STATE_MODS_DEPRESSED | XKB_STATE_MODS_LATCHED | XKB_STATE_MODS_LOCKED |
                     XKB_STATE_LAYOUT_EFFECTIVE)) != 0;
}

ModifierState XkbKeyboard::Modifiers() const {
  ModifierState modifiers;
  modifiers.depressed = xkb_state_serialize_mods(state_.get(), XKB_STATE_MODS_DEPRESSED);
  modifiers.latched = xkb_state_serialize_mods(state_.get(), XKB_STATE_MODS_LATCHED);
  modifiers.locked = xkb_state_serialize_mods(state_.get(), XKB_STATE_MODS_LOCKED);
  modifiers.group = xkb_state_serialize_layout(state_.get(), XKB_STATE_LAYOUT_EFFECTIVE);
  return modifiers;
}

}  // namespace jskeys::wayland
