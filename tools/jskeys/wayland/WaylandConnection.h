#pragma once
// The connection to the compositor, shared by the key output and the focus source, and the
// globals it offers. Owns the display and the registry; whoever binds a global owns the proxy.

#include <wayland-client.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "WaylandBackend.h"

struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;
struct zwlr_foreign_toplevel_manager_v1;
struct zwlr_foreign_toplevel_handle_v1;

namespace jskeys::wayland {

// One owner for one proxy: destroyed exactly once, with its interface's destructor request
// where it has one.
struct ProxyDeleter {
  void operator()(wl_registry* proxy) const;
  void operator()(wl_seat* proxy) const;
  void operator()(zwp_virtual_keyboard_manager_v1* proxy) const;
  void operator()(zwp_virtual_keyboard_v1* proxy) const;
  void operator()(zwlr_virtual_pointer_manager_v1* proxy) const;
  void operator()(zwlr_virtual_pointer_v1* proxy) const;
  void operator()(zwlr_foreign_toplevel_manager_v1* proxy) const;
  void operator()(zwlr_foreign_toplevel_handle_v1* proxy) const;
};
template <typename T>
using Owned = std::unique_ptr<T, ProxyDeleter>;

class Connection {
 public:
  // Connects and learns the globals (one round trip). Null with `error` set.
  static std::shared_ptr<Connection> Open(std::string& error);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  wl_display* display() const { return display_.get(); }
  bool Offers(const wl_interface& interface) const;
  // Binds the global of that interface at `version` or the compositor's own, whichever is
  // lower; the caller owns the proxy. Null when it is not offered.
  void* Bind(const wl_interface& interface, std::uint32_t version);

  // Waits until the compositor has handled every request so far: at start only.
  bool Roundtrip(std::string& error);
  // Sends what is queued and handles whatever the compositor has sent, without waiting.
  // False once the connection is lost.
  bool DispatchPending();
  // The reason the connection was lost, for a message.
  std::string Fault() const;

 private:
  struct Global {
    std::string interface;
    std::uint32_t name;
    std::uint32_t version;
  };
  static void OnGlobal(void* data, wl_registry* registry, std::uint32_t name,
                       const char* interface, std::uint32_t version);
  static void OnGlobalRemove(void* data, wl_registry* registry, std::uint32_t name);
  static const wl_registry_listener kRegistryListener;

  Connection() = default;
  const Global* Find(const wl_interface& interface) const;

  std::unique_ptr<wl_display, void (*)(wl_display*)> display_{nullptr, &wl_display_disconnect};
  Owned<wl_registry> registry_;
  std::vector<Global> globals_;
};

}  // namespace jskeys::wayland
