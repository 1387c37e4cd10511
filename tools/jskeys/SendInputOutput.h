#pragma once
// Keys through SendInput, and the foreground window's class (Windows).

#include <string>

#include "Output.h"

namespace jskeys {

class SendInputKeyOutput : public KeyStrokeOutput {
 protected:
  bool KeyDown(KeyId key) override;
  bool KeyUp(KeyId key) override;

 private:
  bool Send(KeyId key, bool down);
};

class ForegroundWindowFocus : public FocusSource {
 public:
  std::string FocusedClass() override;  // GetClassNameW of the foreground window, as UTF-8
};

}  // namespace jskeys
