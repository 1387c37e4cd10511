// jskeys on Windows: keys through SendInput, the focused window from the foreground window.

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "KeysMain.h"
#include "SendInputOutput.h"

namespace {

std::atomic<bool> g_stop{false};

// Ctrl-C, Ctrl-Break, closing the console, logging off: stop, so held keys are released.
BOOL WINAPI RequestStop(DWORD) {
  g_stop.store(true);
  return TRUE;
}

jskeys::Outputs MakeOutputs(jskeys::Backend backend) {
  jskeys::Outputs outputs;
  outputs.focus = std::make_unique<jskeys::ForegroundWindowFocus>();
  if (backend == jskeys::Backend::kAuto) {
    outputs.keys = std::make_unique<jskeys::SendInputKeyOutput>();
  } else if (backend != jskeys::Backend::kDryRun) {
    outputs.error = "uinput, wayland and x11 are not on Windows; leave out --backend for SendInput";
  }
  return outputs;
}

}  // namespace

int main(int argc, char** argv) {
  SetConsoleCtrlHandler(&RequestStop, TRUE);
  return jskeys::KeysMain(std::vector<std::string>(argv + 1, argv + argc), &MakeOutputs, g_stop);
}
