#pragma once
// The connection to the compositor, shared by the key output and the focus source, and the
// globals it offers. Owns the display and the registry; whoever binds a global owns the proxy.

#include <wayland-client.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "EventLoop.h"
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
  void operator()(wl_callback* proxy) const;
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

  // The socket, for the event loop to wait on while it is readable.
  jsprogram::WaitHandle Handle() const;
  // Handles whatever the compositor has sent and sends what is queued, without waiting. False
  // once the connection is lost.
  bool Dispatch();

  // libwayland queues requests in a buffer of a few KB and marks the connection broken when one
  // does not fit while the socket is full, so requests go out in bounded batches. Room makes
  // room for `requests` more: every kRequestsPerFlush requests it sends the queue whole, waiting
  // up to kFullWait for a full socket to drain (reading what the compositor sends meanwhile, so
  // that neither side waits on the other). False when the socket stayed full (Full() from then
  // on, and the requests must not be made) or the connection is lost.
  bool Room(std::size_t requests);
  // Serves the connection (reads what comes, sends what is queued) until `until`. False at once
  // on a stop request, or when the connection is lost.
  bool ServeUntil(std::chrono::steady_clock::time_point until);
  // Sends every queued request, waiting as Room does. False as Room.
  bool Flush();
  // Sends every queued request and waits, until `until` at most, for the compositor to have
  // handled them: a compositor drops what it has not yet read of a client that hangs up, so
  // the releases sent at the end must be taken before the connection closes. A stop request
  // does not cut this wait short. False when `until` came first or the connection is lost.
  bool Settle(std::chrono::steady_clock::time_point until);
  // The socket stayed full at the last flush: later flushes try once without waiting, until
  // one sends the queue whole. A full socket is never a lost connection.
  bool Full() const { return full_; }
  bool Lost() const;
  // The reason the connection was lost, for a message.
  std::string Fault() const;

  static constexpr std::size_t kRequestsPerFlush = 32;  // of at most 32 bytes each
  static constexpr std::chrono::milliseconds kFullWait{1000};

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
  // Reads and handles what the compositor has sent, without waiting. False once lost.
  bool ReadAll();
  bool FlushWithin(std::chrono::milliseconds wait);
  // One try to send the queue whole, without waiting; errno says why it was not.
  bool FlushOnce();
  static constexpr int kReadsAtOnce = 64;

  std::unique_ptr<wl_display, void (*)(wl_display*)> display_{nullptr, &wl_display_disconnect};
  Owned<wl_registry> registry_;
  std::vector<Global> globals_;
  std::size_t queued_ = 0;  // requests made since the queue was last sent whole
  bool full_ = false;
};

}  // namespace jskeys::wayland
