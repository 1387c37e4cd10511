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

// The foreground window, followed from the system's own WinEvents (the foreground changed, a
// window's name changed), which reach us as messages the event loop dispatches: nothing is
// asked on the way from the controller to a key.
class ForegroundWindowFocus : public FocusSource {
 public:
  ForegroundWindowFocus();
  ~ForegroundWindowFocus() override;
  ForegroundWindowFocus(const ForegroundWindowFocus&) = delete;
  ForegroundWindowFocus& operator=(const ForegroundWindowFocus&) = delete;

  FocusedWindow Focused() override { return focused_; }
  // Reads the foreground window again: where the hooks could not be set, the loop calls this
  // now and then.
  void Dispatch() override;

 private:
  // GetClassNameW and GetWindowTextW of the window, as UTF-8. GetWindowTextW sends no message to
  // another process's window, so a hung application cannot hold us up.
  void Read(void* window);
  static void __stdcall OnEvent(void* hook, unsigned long event, void* window, long object,
                                long child, unsigned long thread, unsigned long time);

  FocusedWindow focused_;
  void* foreground_ = nullptr;
  void* foregroundHook_ = nullptr;
  void* nameHook_ = nullptr;
};

}  // namespace jskeys
