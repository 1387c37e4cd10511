#include "X11Output.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <string>

#include "Program.h"

namespace jskeys {

std::unique_ptr<X11KeyOutput> X11KeyOutput::Create(std::shared_ptr<X11Connection> x,
                                                   std::string& error) {
  int event = 0, errorBase = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(x->display(), &event, &errorBase, &major, &minor)) {
    error = "the X server has no XTest extension";
    return nullptr;
  }
  XTestGrabControl(x->display(), True);  // our keys go through even while a client grabs
  return std::unique_ptr<X11KeyOutput>(new X11KeyOutput(std::move(x)));
}

bool X11KeyOutput::Fake(KeyId key, bool down) {
  if (x_->Lost()) return false;  // said once, where the loss is handled
  const KeyInfo& info = AllKeys()[key];
  if (info.pointer != Pointer::kNone) {
    // Buttons 4 to 7 are the wheel: a step is the button pressed and released.
    const auto button = static_cast<unsigned int>(info.pointer);
    if (IsWheel(info.pointer)) {
      return XTestFakeButtonEvent(x_->display(), button, True, CurrentTime) != 0 &&
             XTestFakeButtonEvent(x_->display(), button, False, CurrentTime) != 0;
    }
    return XTestFakeButtonEvent(x_->display(), button, down ? True : False, CurrentTime) != 0;
  }
  const KeyCode code = XKeysymToKeycode(x_->display(), info.keysym);
  if (code == 0) {
    jsprogram::Say(std::string("the X keyboard map has no key ") + info.name);
    return false;
  }
  return XTestFakeKeyEvent(x_->display(), code, down ? True : False, CurrentTime) != 0;
}

bool X11KeyOutput::KeyDown(KeyId key) { return Fake(key, true); }
bool X11KeyOutput::KeyUp(KeyId key) { return Fake(key, false); }
void X11KeyOutput::Flush() { XFlush(x_->display()); }

}  // namespace jskeys
