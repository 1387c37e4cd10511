#include "Output.h"

namespace jskeys {

bool KeyStrokeOutput::Down(KeyId key) {
  if (key >= downCount_.size()) return false;
  if (IsWheelStep(key)) return KeyDown(key);  // a step each time; nothing stays down
  if (downCount_[key]++ > 0) return true;
  return KeyDown(key);
}

bool KeyStrokeOutput::Up(KeyId key) {
  if (key >= downCount_.size() || downCount_[key] == 0) return true;  // not ours to release,
                                                                      // or a wheel step
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
    case Action::Kind::kPlayer:
    case Action::Kind::kMidi:
      break;  // not keys: the loop sends them elsewhere
  }
  return false;
}

void CutText(std::string& text, std::size_t limit) {
  if (text.size() <= limit) return;
  std::size_t end = limit;
  // Back to the start of the sequence the cut would split: continuation bytes are 10xxxxxx.
  for (int back = 0; back < 3 && end > 0 &&
                     (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80;
       ++back) {
    --end;
  }
  text.resize(end);
}

bool PrintOutput::Send(const Action& action) {
  if (std::fprintf(to_, "%s\n", action.Text().c_str()) < 0) broken_ = true;
  return !broken_;
}

void PrintOutput::Flush() {
  if (std::fflush(to_) != 0) broken_ = true;
}

}  // namespace jskeys
