#include "X11Output.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <string>

#include "Program.h"

namespace jskeys {
namespace {

// Windows come and go between our calls: an error about a window that has just gone must not
// end the program, as Xlib's own handler would.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// A lost server is said by us, once, in our words; Xlib's own handler would print and exit.
int QuietIoError(Display*) { return 0; }

// WM_CLASS is "instance\0class\0", and any client sets its own to anything: no more than 64 KiB
// of it is read, and the class is cut to what a map's pattern is matched against.
constexpr long kClassPropertyLongs = 16 * 1024;

std::string ClassOf(Display* display, Window window) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, XA_WM_CLASS, 0, kClassPropertyLongs, False, XA_STRING,
                         &type, &format, &count, &after, &data) != Success) {
    return {};
  }
  std::string name;
  if (data != nullptr && type == XA_STRING && format == 8) {
    const char* text = reinterpret_cast<const char*>(data);
    const char* end = text + count;
    const char* instanceEnd = std::find(text, end, '\0');
    if (instanceEnd != end) name.assign(instanceEnd + 1, std::find(instanceEnd + 1, end, '\0'));
  }
  if (data != nullptr) XFree(data);
  if (name.size() > kMaxWindowText) name.resize(kMaxWindowText);
  return name;
}

// The window manager's idea of the active window, where there is a window manager.
Window ActiveWindow(Display* display, Atom active) {
  if (active == None) return None;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  Window window = None;
  if (XGetWindowProperty(display, DefaultRootWindow(display), active, 0, 1, False, XA_WINDOW,
                         &type, &format, &count, &after, &data) == Success &&
      type == XA_WINDOW && format == 32 && count == 1 && data != nullptr) {
    window = static_cast<Window>(*reinterpret_cast<unsigned long*>(data));
  }
  if (data) XFree(data);
  return window;
}

}  // namespace

std::shared_ptr<X11Connection> X11Connection::Open(const std::string& name, std::string& error) {
  Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
  if (!display) {
    const char* shown = name.empty() ? std::getenv("DISPLAY") : name.c_str();
    error = std::string("cannot open the X display '") + (shown ? shown : "") + "'";
    return nullptr;
  }
  XSetErrorHandler(&IgnoreXError);
  XSetIOErrorHandler(&QuietIoError);
  std::shared_ptr<X11Connection> connection(new X11Connection(display));
  // Called after the handler above instead of exit(): Xlib then returns from the call that
  // found the connection broken, and answers every later call at once.
  XSetIOErrorExitHandler(display, &X11Connection::OnLost, connection.get());
  return connection;
}

void X11Connection::OnLost(Display*, void* self) { static_cast<X11Connection*>(self)->lost_ = true; }

X11Connection::~X11Connection() { XCloseDisplay(display_); }

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

X11Focus::X11Focus(std::shared_ptr<X11Connection> x) : x_(std::move(x)) {}

bool X11Focus::Connected() {
  if (!x_->Lost()) return true;
  if (!toldLost_) {
    jsprogram::Say("the X display went away: the [default] section applies until it answers again");
    toldLost_ = true;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now < reconnectAt_) return false;
  reconnectAt_ = now + kReconnectEvery;
  std::string error;
  std::shared_ptr<X11Connection> again = X11Connection::Open("", error);
  if (!again) return false;
  x_ = std::move(again);
  activeAtom_ = 0;
  atomAsked_ = {};
  toldLost_ = false;
  jsprogram::Say("the X display answers again: the focused window chooses the section again");
  return true;
}

std::string X11Focus::FocusedClass() {
  if (!Connected()) return {};
  Display* display = x_->display();
  // Each question to the server is a round trip on the way from the controller to the key, so
  // the atom is asked for once, and again now and then while no window manager has made it.
  if (activeAtom_ == None) {
    const auto now = std::chrono::steady_clock::now();
    if (atomAsked_ == std::chrono::steady_clock::time_point{} || now - atomAsked_ > std::chrono::seconds(5)) {
      activeAtom_ = XInternAtom(display, "_NET_ACTIVE_WINDOW", True);
      atomAsked_ = now;
    }
  }
  Window window = ActiveWindow(display, activeAtom_);
  if (window == None) {
    int revert = 0;
    XGetInputFocus(display, &window, &revert);
  }
  // The focus often sits on a child of the application's top-level window, which carries the
  // class: walk up until a window has one.
  const Window root = DefaultRootWindow(display);
  while (window != None && window != PointerRoot && window != root) {
    std::string name = ClassOf(display, window);
    if (!name.empty()) return name;
    Window rootReturn = None, parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, window, &rootReturn, &parent, &children, &count) == 0) break;
    if (children) XFree(children);
    window = parent;
  }
  return {};
}

}  // namespace jskeys
