#include "WaylandFocus.h"

#include <cstdint>

#include "Program.h"

namespace jskeys::wayland {
namespace {

// A window names itself: never keep more of it than kMaxWindowText.
std::string Bounded(const char* text) {
  std::string bounded(text ? text : "");
  CutText(bounded);
  return bounded;
}

}  // namespace

const zwlr_foreign_toplevel_manager_v1_listener WaylandFocus::kManagerListener = {
    &WaylandFocus::OnToplevel, &WaylandFocus::OnFinished};

const zwlr_foreign_toplevel_handle_v1_listener WaylandFocus::kHandleListener = {
    &WaylandFocus::OnTitle, &WaylandFocus::OnAppId,  &WaylandFocus::OnOutput,
    &WaylandFocus::OnOutput, &WaylandFocus::OnState, &WaylandFocus::OnDone,
    &WaylandFocus::OnClosed, &WaylandFocus::OnParent};

std::unique_ptr<WaylandFocus> WaylandFocus::Create(std::shared_ptr<Connection> connection,
                                                   std::string& error) {
  if (!connection->Offers(zwlr_foreign_toplevel_manager_v1_interface)) {
    error = "the Wayland compositor does not tell which window has the focus "
            "(no zwlr_foreign_toplevel_manager_v1)";
    return nullptr;
  }
  std::unique_ptr<WaylandFocus> focus(new WaylandFocus(connection));
  focus->manager_.reset(static_cast<zwlr_foreign_toplevel_manager_v1*>(
      connection->Bind(zwlr_foreign_toplevel_manager_v1_interface, 1)));
  zwlr_foreign_toplevel_manager_v1_add_listener(focus->manager_.get(), &kManagerListener,
                                                focus.get());
  // The toplevels open now, and which is activated, before the first key.
  if (!connection->Roundtrip(error)) return nullptr;
  return focus;
}

FocusedWindow WaylandFocus::Focused() { return active_ ? active_->shown : FocusedWindow{}; }

void WaylandFocus::Dispatch() {
  if (!connection_->Dispatch() && !lossTold_) {
    jsprogram::Say(connection_->Fault() + "; the [default] section applies from now on");
    lossTold_ = true;
  }
}

void WaylandFocus::Forget(Toplevel* toplevel) {
  if (active_ == toplevel) active_ = nullptr;
  std::erase_if(toplevels_, [toplevel](const auto& held) { return held.get() == toplevel; });
}

void WaylandFocus::OnToplevel(void* data, zwlr_foreign_toplevel_manager_v1*,
                              zwlr_foreign_toplevel_handle_v1* handle) {
  auto* focus = static_cast<WaylandFocus*>(data);
  auto toplevel = std::make_unique<Toplevel>();
  toplevel->owner = focus;
  toplevel->handle.reset(handle);
  zwlr_foreign_toplevel_handle_v1_add_listener(handle, &kHandleListener, toplevel.get());
  focus->toplevels_.push_back(std::move(toplevel));
}

void WaylandFocus::OnFinished(void* data, zwlr_foreign_toplevel_manager_v1*) {
  // The compositor has destroyed the manager; the handles still end with their own `closed`.
  static_cast<WaylandFocus*>(data)->manager_.reset();
}

void WaylandFocus::OnTitle(void* data, zwlr_foreign_toplevel_handle_v1*, const char* title) {
  static_cast<Toplevel*>(data)->pending.title = Bounded(title);
}

void WaylandFocus::OnAppId(void* data, zwlr_foreign_toplevel_handle_v1*, const char* appId) {
  static_cast<Toplevel*>(data)->pending.windowClass = Bounded(appId);
}

void WaylandFocus::OnOutput(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}

void WaylandFocus::OnState(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
  auto* toplevel = static_cast<Toplevel*>(data);
  toplevel->pendingActivated = false;
  const auto* state = static_cast<const std::uint32_t*>(states->data);
  for (std::size_t i = 0; i < states->size / sizeof(std::uint32_t); ++i) {
    if (state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED) toplevel->pendingActivated = true;
  }
}

void WaylandFocus::OnDone(void* data, zwlr_foreign_toplevel_handle_v1*) {
  auto* toplevel = static_cast<Toplevel*>(data);
  toplevel->shown = toplevel->pending;
  toplevel->activated = toplevel->pendingActivated;
  WaylandFocus* focus = toplevel->owner;
  // Two toplevels change in turn when the focus moves; whichever comes first, the activated one
  // ends up as the focus.
  if (toplevel->activated) {
    focus->active_ = toplevel;
  } else if (focus->active_ == toplevel) {
    focus->active_ = nullptr;
  }
}

void WaylandFocus::OnClosed(void* data, zwlr_foreign_toplevel_handle_v1*) {
  auto* toplevel = static_cast<Toplevel*>(data);
  toplevel->owner->Forget(toplevel);
}

void WaylandFocus::OnParent(void*, zwlr_foreign_toplevel_handle_v1*,
                            zwlr_foreign_toplevel_handle_v1*) {}

std::unique_ptr<FocusSource> MakeFocus(std::shared_ptr<Connection> connection,
                                       std::string& error) {
  return WaylandFocus::Create(std::move(connection), error);
}

}  // namespace jskeys::wayland
