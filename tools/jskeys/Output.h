#pragma once
// Where key actions go, and where the focused window's class comes from. One implementation
// per way of sending keys: uinput, X11 (XTest), Windows (SendInput), and printing (dry run).

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "Translator.h"

namespace jskeys {

class KeyOutput {
 public:
  virtual ~KeyOutput() = default;
  // False when the action could not be sent; the reason has been said on standard error.
  virtual bool Send(const Action& action) = 0;
  virtual void Flush() {}
  // True once keys can no longer go out this way at all (the X server went away).
  virtual bool Broken() const { return false; }
};

// Sends combinations as single key presses and releases. Counts what it holds, so that a tap
// of shift+Right while a map holds shift leaves shift down.
class KeyStrokeOutput : public KeyOutput {
 public:
  bool Send(const Action& action) final;

 protected:
  virtual bool KeyDown(KeyId key) = 0;
  virtual bool KeyUp(KeyId key) = 0;

 private:
  bool Down(KeyId key);
  bool Up(KeyId key);
  bool Press(const KeyCombo& combo);
  bool Release(const KeyCombo& combo);

  std::array<std::uint16_t, kMaxKeys> downCount_{};
};

// Prints one line per action: "tap ctrl+z".
class PrintOutput : public KeyOutput {
 public:
  explicit PrintOutput(std::FILE* to) : to_(to) {}
  bool Send(const Action& action) override;
  void Flush() override { std::fflush(to_); }

 private:
  std::FILE* to_;
};

class FocusSource {
 public:
  virtual ~FocusSource() = default;
  // The class of the focused top-level window; empty when there is none or it has no class.
  virtual std::string FocusedClass() = 0;
};

}  // namespace jskeys
