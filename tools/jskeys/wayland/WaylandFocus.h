#pragma once
// The focused window on a wlroots compositor: the toplevel that foreign-toplevel management
// reports activated, with its app_id and title.

#include <memory>
#include <string>
#include <vector>

#include "Output.h"
#include "WaylandConnection.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

namespace jskeys::wayland {

class WaylandFocus final : public FocusSource {
 public:
  // Null with `error` set when the compositor does not offer foreign-toplevel management.
  static std::unique_ptr<WaylandFocus> Create(std::shared_ptr<Connection> connection,
                                              std::string& error);
  // What the compositor told by the last Dispatch; the socket is not touched.
  FocusedWindow Focused() override;
  jsprogram::WaitHandle Handle() const override { return connection_->Handle(); }
  // Handles what the compositor has sent, without waiting for more.
  void Dispatch() override;

 private:
  // A toplevel's properties change together at its `done` event.
  struct Toplevel {
    WaylandFocus* owner = nullptr;
    Owned<zwlr_foreign_toplevel_handle_v1> handle;
    FocusedWindow shown, pending;
    bool activated = false;
    bool pendingActivated = false;
  };

  explicit WaylandFocus(std::shared_ptr<Connection> connection)
      : connection_(std::move(connection)) {}
  void Forget(Toplevel* toplevel);

  static void OnToplevel(void* data, zwlr_foreign_toplevel_manager_v1* manager,
                         zwlr_foreign_toplevel_handle_v1* handle);
  static void OnFinished(void* data, zwlr_foreign_toplevel_manager_v1* manager);
  static void OnTitle(void* data, zwlr_foreign_toplevel_handle_v1* handle, const char* title);
  static void OnAppId(void* data, zwlr_foreign_toplevel_handle_v1* handle, const char* appId);
  static void OnOutput(void* data, zwlr_foreign_toplevel_handle_v1* handle, wl_output* output);
  static void OnState(void* data, zwlr_foreign_toplevel_handle_v1* handle, wl_array* states);
  static void OnDone(void* data, zwlr_foreign_toplevel_handle_v1* handle);
  static void OnClosed(void* data, zwlr_foreign_toplevel_handle_v1* handle);
  static void OnParent(void* data, zwlr_foreign_toplevel_handle_v1* handle,
                       zwlr_foreign_toplevel_handle_v1* parent);
  static const zwlr_foreign_toplevel_manager_v1_listener kManagerListener;
  static const zwlr_foreign_toplevel_handle_v1_listener kHandleListener;

  // Declared in the order of their lifetimes: the handles go before the manager, and both
  // before the connection.
  std::shared_ptr<Connection> connection_;
  Owned<zwlr_foreign_toplevel_manager_v1> manager_;
  std::vector<std::unique_ptr<Toplevel>> toplevels_;
  const Toplevel* active_ = nullptr;
  bool lossTold_ = false;
};

}  // namespace jskeys::wayland
