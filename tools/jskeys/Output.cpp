#include "Output.h"

namespace jskeys {

bool KeyStrokeOutput::Down(KeyId key) {
  if (key >= downCount_.size()) return false;
  if (downCount_[key]++ > 0) return true;
  return KeyDown(key);
}

bool KeyStrokeOutput::Up(KeyId key) {
  if (key >= downCount_.size() || downCount_[key] == 0) return true;  // not ours to release
  if (--downCount_[key] > 0) return true;
  return KeyUp(key);
}

bool KeyStrokeOutput::Press(const KeyCombo& combo) {
  bool sent = true;
  for (const Modifier modifier : kModifierOrder) {
    if ((combo.modifiers & modifier) != 0) sent = Down(ModifierKey(modifier)) && sent;
  }
  if (combo.key) sent = Down(*combo.key) && sent;
  return sent;
}

bool KeyStrokeOutput::Release(const KeyCombo& combo) {
  bool sent = true;
  if (combo.key) sent = Up(*combo.key) && sent;
  for (auto it = std::rbegin(kModifierOrder); it != std::rend(kModifierOrder); ++it) {
    if ((combo.modifiers & *it) != 0) sent = Up(ModifierKey(*it)) && sent;
  }
  return sent;
}

bool KeyStrokeOutput::Send(const Action& action) {
  switch (action.kind) {
    case Action::Kind::kPress: return Press(action.combo);
    case Action::Kind::kRelease: return Release(action.combo);
    case Action::Kind::kTap: {
      const bool pressed = Press(action.combo);
      return Release(action.combo) && pressed;
    }
  }
  return false;
}

bool PrintOutput::Send(const Action& action) {
  std::fprintf(to_, "%s\n", action.Text().c_str());
  return true;
}

}  // namespace jskeys
