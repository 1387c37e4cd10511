// jskeys on Windows: keys through SendInput, the focused window from the foreground window.

#include <windows.h>

#include <string>
#include <vector>

#include "KeysMain.h"
#include "Program.h"
#include "SystemText.h"
#include "SendInputOutput.h"

namespace {

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
  // Ctrl-C, closing the console, logging off: a stop, and a closing console waits until the
  // keys the map held are released.
  jsprogram::Start("jskeys");
  return jskeys::KeysMain(jsprogram::Arguments(argc, argv), &MakeOutputs);
}
