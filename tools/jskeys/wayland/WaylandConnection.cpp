#include "WaylandConnection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Program.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace jskeys::wayland {
namespace {

// libwayland's own complaints, as one line of ours each.
void LogFromLibrary(const char* format, va_list arguments) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, arguments);
  std::size_t length = std::strlen(text);
  while (length > 0 && text[length - 1] == '\n') text[--length] = '\0';
  jsprogram::Say(std::string("wayland: ") + text);
}

}  // namespace

void ProxyDeleter::operator()(wl_registry* proxy) const { wl_registry_destroy(proxy); }
void ProxyDeleter::operator()(wl_seat* proxy) const { wl_seat_destroy(proxy); }
void ProxyDeleter::operator()(wl_callback* proxy) const { wl_callback_destroy(proxy); }
void ProxyDeleter::operator()(zwp_virtual_keyboard_manager_v1* proxy) const {
  zwp_virtual_keyboard_manager_v1_destroy(proxy);
}
void ProxyDeleter::operator()(zwp_virtual_keyboard_v1* proxy) const {
  zwp_virtual_keyboard_v1_destroy(proxy);
}
void ProxyDeleter::operator()(zwlr_virtual_pointer_manager_v1* proxy) const {
  zwlr_virtual_pointer_manager_v1_destroy(proxy);
}
void ProxyDeleter::operator()(zwlr_virtual_pointer_v1* proxy) const {
  zwlr_virtual_pointer_v1_destroy(proxy);
}
void ProxyDeleter::operator()(zwlr_foreign_toplevel_manager_v1* proxy) const {
  zwlr_foreign_toplevel_manager_v1_destroy(proxy);
}
void ProxyDeleter::operator()(zwlr_foreign_toplevel_handle_v1* proxy) const {
  zwlr_foreign_toplevel_handle_v1_destroy(proxy);
}

const wl_registry_listener Connection::kRegistryListener = {&Connection::OnGlobal,
                                                            &Connection::OnGlobalRemove};

std::shared_ptr<Connection> Connection::Open(std::string& error) {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  const char* socket = std::getenv("WAYLAND_SOCKET");
  if ((!name || !*name) && (!socket || !*socket)) {
    error = "no Wayland display (WAYLAND_DISPLAY is not set)";
    return nullptr;
  }
  wl_log_set_handler_client(&LogFromLibrary);
  std::shared_ptr<Connection> connection(new Connection());
  connection->display_.reset(wl_display_connect(nullptr));
  if (!connection->display_) {
    error = std::string("cannot reach the Wayland display '") + (name ? name : "") +
            "': " + std::strerror(errno);
    return nullptr;
  }
  connection->registry_.reset(wl_display_get_registry(connection->display()));
  if (!connection->registry_ ||
      wl_registry_add_listener(connection->registry_.get(), &kRegistryListener, connection.get()) != 0 ||
      !connection->Roundtrip(error)) {
    if (error.empty()) error = "cannot read the Wayland globals";
    return nullptr;
  }
  return connection;
}

void Connection::OnGlobal(void* data, wl_registry*, std::uint32_t name, const char* interface,
                          std::uint32_t version) {
  static_cast<Connection*>(data)->globals_.push_back({interface, name, version});
}

void Connection::OnGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
  auto& globals = static_cast<Connection*>(data)->globals_;
  std::erase_if(globals, [name](const Global& global) { return global.name == name; });
}

const Connection::Global* Connection::Find(const wl_interface& interface) const {
  for (const Global& global : globals_) {
    if (global.interface == interface.name) return &global;
  }
  return nullptr;
}

bool Connection::Offers(const wl_interface& interface) const { return Find(interface) != nullptr; }

void* Connection::Bind(const wl_interface& interface, std::uint32_t version) {
  const Global* global = Find(interface);
  if (!global) return nullptr;
  return wl_registry_bind(registry_.get(), global->name, &interface,
                          version < global->version ? version : global->version);
}

bool Connection::Roundtrip(std::string& error) {
  if (wl_display_roundtrip(display()) < 0) {
    error = Fault();
    return false;
  }
  return true;
}

jsprogram::WaitHandle Connection::Handle() const { return wl_display_get_fd(display()); }

bool Connection::Lost() const { return wl_display_get_error(display()) != 0; }

bool Connection::ReadAll() {
  wl_display* d = display();
  // Each read takes what fits libwayland's buffer (4 KB); a busy compositor may have sent much
  // more. Bounded, so that a flood of events leaves the caller its turn.
  for (int reads = 0; reads < kReadsAtOnce; ++reads) {
    // Events already read but not yet handled must be handled before a read may begin.
    while (wl_display_prepare_read(d) != 0) {
      if (wl_display_dispatch_pending(d) < 0) return false;
    }
    pollfd ready = {wl_display_get_fd(d), POLLIN, 0};
    if (poll(&ready, 1, 0) <= 0) {
      wl_display_cancel_read(d);
      break;
    }
    if (wl_display_read_events(d) < 0 || wl_display_dispatch_pending(d) < 0) return false;
  }
  return !Lost();
}

bool Connection::Dispatch() {
  if (!ReadAll()) return false;
  FlushOnce();
  return !Lost();
}

bool Connection::FlushOnce() {
  if (wl_display_flush(display()) < 0) return false;  // errno says why
  queued_ = 0;
  full_ = false;
  return true;
}

bool Connection::Room(std::size_t requests) {
  if (!full_ && queued_ + requests <= kRequestsPerFlush) {
    queued_ += requests;
    return !Lost();
  }
  if (!Flush()) return false;
  queued_ = requests;
  return true;
}

bool Connection::ServeUntil(std::chrono::steady_clock::time_point until) {
  constexpr std::chrono::milliseconds kSlice{20};  // how soon a stop request ends the wait
  while (Dispatch() && !jsprogram::StopRequested()) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    pollfd ready = {wl_display_get_fd(display()), POLLIN, 0};
    poll(&ready, 1, static_cast<int>(std::min(left, kSlice).count()));
  }
  return false;
}

bool Connection::Settle(std::chrono::steady_clock::time_point until) {
  if (Lost()) return false;
  bool done = false;
  static const wl_callback_listener kDone = {
      [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
  const Owned<wl_callback> sync(wl_display_sync(display()));
  if (!sync) return false;
  wl_callback_add_listener(sync.get(), &kDone, &done);
  for (;;) {
    if (!ReadAll()) return false;
    if (done) return true;
    const bool sent = FlushOnce();
    if (!sent && errno != EAGAIN) return false;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const short events = sent ? POLLIN : POLLIN | POLLOUT;  // written whole, or wait for room
    pollfd ready = {wl_display_get_fd(display()), events, 0};
    poll(&ready, 1, static_cast<int>(left.count()));
  }
}

bool Connection::Flush() { return FlushWithin(full_ ? std::chrono::milliseconds(0) : kFullWait); }

bool Connection::FlushWithin(std::chrono::milliseconds wait) {
  using Clock = std::chrono::steady_clock;
  constexpr std::chrono::milliseconds kSlice{20};  // how soon a stop request ends the wait
  wl_display* d = display();
  const Clock::time_point deadline = Clock::now() + wait;
  for (;;) {
    if (Lost()) return false;
    if (FlushOnce()) return true;
    if (errno != EAGAIN) {
      ReadAll();  // a closed socket (EPIPE) shows as lost once its end is read
      full_ = !Lost();
      return false;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || jsprogram::StopRequested()) {
      full_ = true;
      return false;
    }
    // The compositor may be busy writing to us; reading it lets it go on reading us.
    pollfd ready = {wl_display_get_fd(d), POLLIN | POLLOUT, 0};
    if (poll(&ready, 1, static_cast<int>(std::min(left, kSlice).count())) > 0 &&
        (ready.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReadAll()) {
      return false;
    }
  }
}

std::string Connection::Fault() const {
  const int code = wl_display_get_error(display());
  if (code == EPROTO) {
    const wl_interface* interface = nullptr;
    std::uint32_t id = 0;
    const std::uint32_t fault = wl_display_get_protocol_error(display(), &interface, &id);
    return std::string("the compositor refused a request (") +
           (interface ? interface->name : "?") + " error " + std::to_string(fault) + ")";
  }
  return std::string("the connection to the compositor is lost: ") +
         std::strerror(code != 0 ? code : errno);
}

std::shared_ptr<Connection> Connect(std::string& error) { return Connection::Open(error); }

Offers WhatItOffers(const Connection& connection) {
  Offers offers;
  offers.virtualKeyboard = connection.Offers(zwp_virtual_keyboard_manager_v1_interface);
  offers.virtualPointer = connection.Offers(zwlr_virtual_pointer_manager_v1_interface);
  offers.foreignToplevel = connection.Offers(zwlr_foreign_toplevel_manager_v1_interface);
  return offers;
}

}  // namespace jskeys::wayland
