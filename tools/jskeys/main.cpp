// jskeys on Linux: keys through uinput, the Wayland virtual keyboard or XTest, the focused window
// from Wayland or X11.

#include <signal.h>

#include <atomic>
#include <string>
#include <vector>

#include "KeysMain.h"
#include "PosixOutputs.h"

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);  // set from a signal handler

void RequestStop(int) { g_stop.store(true); }

void HandleStopSignals() {
  struct sigaction action {};
  action.sa_handler = &RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  HandleStopSignals();
  return jskeys::KeysMain(std::vector<std::string>(argv + 1, argv + argc),
                         &jskeys::MakePosixOutputs, g_stop);
}
