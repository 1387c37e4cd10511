#pragma once
// The one connection to the X server that the key output and the focus source share.

#include <memory>
#include <string>

typedef struct _XDisplay Display;

namespace jskeys {

// The connection to the X server, shared by the key output and the focus source. Xlib ends the
// process when the server goes away; here the connection is only marked lost, so that jskeys can
// go on without X (keys through uinput or printed) or end in its own way.
class X11Connection {
 public:
  // Null with `error` set when the display cannot be opened. Empty name: $DISPLAY.
  static std::shared_ptr<X11Connection> Open(const std::string& name, std::string& error);
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  Display* display() const { return display_; }
  // True once the server has gone away; nothing more may be asked of the connection then.
  bool Lost() const { return lost_; }

 private:
  explicit X11Connection(Display* display) : display_(display) {}
  static void OnLost(Display* display, void* self);
  Display* display_;
  bool lost_ = false;
};

}  // namespace jskeys
