#include "X11Focus.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <string>

#include "Program.h"

namespace jskeys {
namespace {

// Up to `limit` bytes of an 8-bit property, and its type; empty when the window has none.
std::string ReadProperty(Display* display, Window window, Atom property, std::size_t limit,
                         Atom& type) {
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string text;
  type = None;
  // The length is asked in 32-bit units: the server never sends more than that.
  if (XGetWindowProperty(display, window, property, 0, static_cast<long>((limit + 3) / 4), False,
                         AnyPropertyType, &type, &format, &count, &after, &data) == Success &&
      format == 8 && data != nullptr) {
    text.assign(reinterpret_cast<const char*>(data), std::min<std::size_t>(count, limit));
  }
  if (data) XFree(data);
  return text;
}

// WM_CLASS holds the instance and then the class, each ended by a zero byte.
std::string ClassOf(Display* display, Window window) {
  Atom type = None;
  const std::string both = ReadProperty(display, window, XA_WM_CLASS, 2 * (kMaxWindowText + 1), type);
  const std::size_t end = both.find('\0');
  if (end == std::string::npos) return {};
  std::string name = both.substr(end + 1);
  name.resize(std::min(name.find('\0'), name.size()));
  CutText(name);
  return name;
}

std::string Latin1ToUtf8(const std::string& text) {
  std::string utf8;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      utf8 += c;
    } else {
      utf8 += static_cast<char>(0xC0 | (byte >> 6));
      utf8 += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return utf8;
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

X11Focus::X11Focus(std::shared_ptr<X11Connection> x) : x_(std::move(x)) {
  Listen();
  ReadFocus();
}

jsprogram::WaitHandle X11Focus::Handle() const {
  return x_->Lost() ? jsprogram::kNoWaitHandle : ConnectionNumber(x_->display());
}

// What tells of a focus change: focus events on the top-level windows (a window manager's
// frames, or the applications' own windows where there is none), new top-levels, and the
// window manager's active window. Atoms are the server's own numbers: asked for again of every
// server connected to.
void X11Focus::Listen() {
  Display* display = x_->display();
  char activeWindow[] = "_NET_ACTIVE_WINDOW";
  char netWmName[] = "_NET_WM_NAME";
  char utf8String[] = "UTF8_STRING";
  char* names[] = {activeWindow, netWmName, utf8String};
  Atom atoms[3] = {None, None, None};
  XInternAtoms(display, names, 3, False, atoms);
  activeAtom_ = atoms[0];
  netWmName_ = atoms[1];
  utf8String_ = atoms[2];
  const Window root = DefaultRootWindow(display);
  XSelectInput(display, root, PropertyChangeMask | SubstructureNotifyMask | FocusChangeMask);
  Window rootReturn = None, parent = None;
  Window* children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(display, root, &rootReturn, &parent, &children, &count) != 0 && children) {
    for (unsigned int i = 0; i < count; ++i) {
      XSelectInput(display, children[i], FocusChangeMask | PropertyChangeMask);
    }
    XFree(children);
  }
}

bool X11Focus::Matters(const XEvent& event) const {
  switch (event.type) {
    case FocusIn:
    case FocusOut:
      return true;
    case CreateNotify:
      // A new top-level may take the focus before it is listened to: it is listened to now, and
      // the focus read again after that.
      XSelectInput(x_->display(), event.xcreatewindow.window, FocusChangeMask | PropertyChangeMask);
      return true;
    case PropertyNotify: {
      const Atom atom = event.xproperty.atom;
      if (event.xproperty.window == DefaultRootWindow(x_->display())) return atom == activeAtom_;
      return event.xproperty.window == focusedWindow_ &&
             (atom == XA_WM_NAME || atom == XA_WM_CLASS || atom == netWmName_);
    }
    default:
      return false;
  }
}

void X11Focus::Dispatch() {
  if (!Connected()) return;
  Display* display = x_->display();
  // Reading the properties takes round trips, during which Xlib queues what else came: look
  // until nothing is left, so that nothing waits unseen behind a socket that is no longer ready.
  for (bool changed = true; changed && !x_->Lost();) {
    changed = false;
    while (!x_->Lost() && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      changed = Matters(event) || changed;
    }
    if (changed && !x_->Lost()) ReadFocus();
  }
  if (x_->Lost()) Connected();  // says so, and the default section applies
}

bool X11Focus::Connected() {
  if (!x_->Lost()) return true;
  if (!toldLost_) {
    jsprogram::Say("the X display went away: the [default] section applies until it answers again");
    toldLost_ = true;
    focused_ = {};
    focusedWindow_ = 0;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now < reconnectAt_) return false;
  reconnectAt_ = now + kReconnectEvery;
  std::string error;
  std::shared_ptr<X11Connection> again = X11Connection::Open("", error);
  if (!again) return false;
  x_ = std::move(again);
  toldLost_ = false;
  Listen();
  ReadFocus();
  jsprogram::Say("the X display answers again: the focused window chooses the section again");
  return true;
}

std::string X11Focus::TitleOf(unsigned long window) const {
  Display* display = x_->display();
  Atom type = None;
  std::string title = ReadProperty(display, window, netWmName_, kMaxWindowText + 3, type);
  if (type != utf8String_ || title.empty()) {
    title = ReadProperty(display, window, XA_WM_NAME, kMaxWindowText + 3, type);
    if (type == XA_STRING) {
      title = Latin1ToUtf8(title);
    } else if (type != utf8String_ && !title.empty()) {
      // COMPOUND_TEXT and the like: Xlib converts them.
      XTextProperty property{reinterpret_cast<unsigned char*>(title.data()), type, 8,
                             title.size()};
      char** list = nullptr;
      int count = 0;
      std::string converted;
      if (Xutf8TextPropertyToTextList(display, &property, &list, &count) >= Success && list) {
        if (count > 0 && list[0]) converted = list[0];
        XFreeStringList(list);
      }
      title = converted;
    }
  }
  CutText(title);
  return title;
}

void X11Focus::ReadFocus() {
  Display* display = x_->display();
  Window window = ActiveWindow(display, activeAtom_);
  if (window == None) {
    int revert = 0;
    XGetInputFocus(display, &window, &revert);
  }
  focused_ = {};
  focusedWindow_ = 0;
  // The focus often sits on a child of the application's top-level window, which carries the
  // class: walk up until a window has one.
  const Window root = DefaultRootWindow(display);
  while (window != None && window != PointerRoot && window != root) {
    std::string name = ClassOf(display, window);
    if (!name.empty()) {
      // Its name and class are followed from now on; the top-levels' focus events stay heard.
      XSelectInput(display, window, FocusChangeMask | PropertyChangeMask);
      focusedWindow_ = window;
      focused_ = {std::move(name), TitleOf(window)};
      return;
    }
    Window rootReturn = None, parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, window, &rootReturn, &parent, &children, &count) == 0) break;
    if (children) XFree(children);
    window = parent;
  }
}

}  // namespace jskeys
