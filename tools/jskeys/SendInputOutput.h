#pragma once
// Keys and mouse actions through SendInput, and the foreground window's class and title
// (Windows).

#include <string>

#include "Output.h"

namespace jskeys {

class SendInputKeyOutput : public KeyStrokeOutput {
 protected:
  bool KeyDown(KeyId key) override;
  bool KeyUp(KeyId key) override;

 private:
  bool Send(KeyId key, bool down);
  bool SendMouse(Pointer pointer, bool down);
};

class ForegroundWindowFocus : public FocusSource {
 public:
  // GetClassNameW and GetWindowTextW of the foreground window, as UTF-8. GetWindowTextW sends
  // no message to another process's window, so a hung application cannot hold us up.
  FocusedWindow Focused() override;
};

}  // namespace jskeys
