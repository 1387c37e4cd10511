#include "X11Connection.h"

#include <X11/Xlib.h>

#include <cstdlib>

namespace jskeys {
namespace {

// Windows come and go between our calls: an error about a window that has just gone must not
// end the program, as Xlib's own handler would.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// A lost server is said by us, once, in our words; Xlib's own handler would print and exit.
int QuietIoError(Display*) { return 0; }

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

}  // namespace jskeys
