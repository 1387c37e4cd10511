// jskeys on Linux: keys through uinput or XTest, the focused window from X11.

#include <string>
#include <vector>

#include "KeysMain.h"
#include "Program.h"
#include "UinputOutput.h"
#include "X11Output.h"

namespace {

jskeys::Outputs MakeOutputs(jskeys::Backend backend) {
  using jskeys::Backend;
  jskeys::Outputs outputs;
  // One X connection serves both XTest and the focus, whichever backend sends the keys.
  std::string xError;
  std::shared_ptr<jskeys::X11Connection> x = jskeys::X11Connection::Open("", xError);
  if (x) outputs.focus = std::make_unique<jskeys::X11Focus>(x);
  if (backend == Backend::kUinput || backend == Backend::kAuto) {
    outputs.keys = jskeys::UinputKeyOutput::Create(outputs.error);
  }
  if (!outputs.keys && (backend == Backend::kX11 || backend == Backend::kAuto)) {
    std::string error;
    if (x) outputs.keys = jskeys::X11KeyOutput::Create(x, error);
    if (!x) error = xError;
    outputs.error = outputs.error.empty() ? error : outputs.error + "; " + error;
  }
  return outputs;
}

}  // namespace

int main(int argc, char** argv) {
  // Descriptors 0 to 2 are filled before the X connection or /dev/uinput can take one of them,
  // and every stop signal (a closed terminal, SIGQUIT, ...) ends the run with keys released.
  if (!jsprogram::Start("jskeys")) return 1;
  return jskeys::KeysMain(std::vector<std::string>(argv + 1, argv + argc), &MakeOutputs);
}
