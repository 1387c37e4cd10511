// jskeys on Linux: keys through uinput, the Wayland virtual keyboard or XTest, the focused window
// from Wayland or X11.

#include <string>
#include <vector>

#include "KeysMain.h"
#include "PosixOutputs.h"
#include "Program.h"
#include "SystemText.h"

int main(int argc, char** argv) {
  // Descriptors 0 to 2 are filled before the X connection or /dev/uinput can take one of them,
  // and every stop signal (a closed terminal, SIGQUIT, ...) ends the run with keys released.
  if (!jsprogram::Start("jskeys")) return 1;
  return jskeys::KeysMain(jsprogram::Arguments(argc, argv), &jskeys::MakePosixOutputs);
}
