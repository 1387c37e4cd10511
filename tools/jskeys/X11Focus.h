#pragma once
// The focused window's class and title from X11.

#include <chrono>
#include <memory>
#include <string>

#include "Output.h"
#include "X11Connection.h"

typedef union _XEvent XEvent;

namespace jskeys {

// The focused window's class and title, followed from the server's own events: focus changes
// on the top-level windows, the window manager's _NET_ACTIVE_WINDOW, and the focused window's
// name and class. The properties are read when one of these changes, never on the way from the
// controller to a key. When the server goes away, no window has the focus (the default section
// applies) until a display answers again; both are said once.
class X11Focus : public FocusSource {
 public:
  explicit X11Focus(std::shared_ptr<X11Connection> x);
  FocusedWindow Focused() override { return focused_; }
  jsprogram::WaitHandle Handle() const override;
  // Takes the events that have come; reads the focused window's class (WM_CLASS) and title
  // (_NET_WM_NAME in UTF-8, else WM_NAME) when they may have changed. Each read of a property is
  // bounded, so a window cannot make us read or keep more than kMaxWindowText.
  void Dispatch() override;

  // How often a display is asked for again while there is none.
  static constexpr std::chrono::seconds kReconnectEvery{2};

 private:
  bool Connected();
  void Listen();
  void ReadFocus();
  bool Matters(const XEvent& event) const;
  std::string TitleOf(unsigned long window) const;

  std::shared_ptr<X11Connection> x_;
  FocusedWindow focused_;
  unsigned long focusedWindow_ = 0;  // the window the class and title are read from
  bool toldLost_ = false;
  std::chrono::steady_clock::time_point reconnectAt_{};
  unsigned long activeAtom_ = 0;  // _NET_ACTIVE_WINDOW
  unsigned long netWmName_ = 0;   // _NET_WM_NAME
  unsigned long utf8String_ = 0;  // UTF8_STRING
};

}  // namespace jskeys
