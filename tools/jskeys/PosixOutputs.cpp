#include "PosixOutputs.h"

#include <memory>
#include <string>

#include "MidiOutput.h"
#include "PlayerOutput.h"
#include "Program.h"
#include "UinputOutput.h"
#include "WaylandBackend.h"
#include "X11Focus.h"
#include "X11Output.h"

namespace jskeys {
namespace {

void AddError(std::string& errors, const std::string& error) {
  if (error.empty()) return;
  errors += errors.empty() ? error : "; " + error;
}

// A Wayland compositor that tells the focus is asked first: under Xwayland, X11 sees only the
// X clients. `waylandError` and `xError` say why a connection is missing.
std::unique_ptr<FocusSource> MakeFocus(const std::shared_ptr<wayland::Connection>& wayland,
                                       std::string waylandError,
                                       const std::shared_ptr<X11Connection>& x,
                                       const std::string& xError) {
  if (wayland) {
    if (auto focus = wayland::MakeFocus(wayland, waylandError)) return focus;
  }
  if (x) {
    if (wayland) {
      jsprogram::Say(waylandError + ": only X11 windows choose their map section");
    }
    return std::make_unique<X11Focus>(x);
  }
  jsprogram::Say("cannot tell the focused window: " + waylandError + "; " + xError +
                 "; the [default] section applies");
  return nullptr;
}

}  // namespace

Outputs MakePosixOutputs(Backend backend) {
  Outputs outputs;
  outputs.makePlayer = &MakePlayerOutput;
  outputs.makeMidi = [] { return MakeMidiOutput(); };
  std::string waylandError, xError;
  std::shared_ptr<wayland::Connection> wayland = wayland::Connect(waylandError);
  std::shared_ptr<X11Connection> x = X11Connection::Open("", xError);
  outputs.focus = MakeFocus(wayland, waylandError, x, xError);

  const bool any = backend == Backend::kAuto;
  if (backend == Backend::kUinput || any) {
    std::string error;
    auto uinput = UinputKeyOutput::Create(error);
    AddError(outputs.error, error);
    if (uinput) {
      const std::string node = uinput->DevicePath();
      jsprogram::Say("keys go out through uinput (" + (node.empty() ? "a virtual device" : node) + ")");
      outputs.keys = std::move(uinput);
      return outputs;
    }
  }
  if (backend == Backend::kWayland || any) {
    std::string error = waylandError;
    if (wayland) outputs.keys = wayland::MakeKeyOutput(wayland, error);
    if (outputs.keys) {
      jsprogram::Say("keys go out through the Wayland virtual keyboard");
      return outputs;
    }
    AddError(outputs.error, error);
  }
  if (backend == Backend::kX11 || any) {
    std::string error = xError;
    if (x) outputs.keys = X11KeyOutput::Create(x, error);
    if (outputs.keys) {
      jsprogram::Say("keys go out through XTest");
      return outputs;
    }
    AddError(outputs.error, error);
  }
  return outputs;
}

}  // namespace jskeys
