#pragma once
// Keys, buttons and wheel steps through a virtual device made with /dev/uinput (Linux). Works
// under X11, Wayland and on the console alike; it cannot tell which window has the focus.

#include <memory>
#include <string>

#include "Output.h"

struct libevdev;
struct libevdev_uinput;

namespace jskeys {

class UinputKeyOutput : public KeyStrokeOutput {
 public:
  inline static const char* const kDeviceName = "jskeys virtual keyboard";
  // Null with `error` set when /dev/uinput cannot be used (missing, or not ours to open).
  static std::unique_ptr<UinputKeyOutput> Create(std::string& error);
  ~UinputKeyOutput() override;
  // The /dev/input/eventN node of the device made; empty when unknown.
  std::string DevicePath() const;
  void Flush() override;

 protected:
  bool KeyDown(KeyId key) override;
  bool KeyUp(KeyId key) override;

 private:
  UinputKeyOutput(libevdev* device, libevdev_uinput* uinput) : device_(device), uinput_(uinput) {}
  bool Write(unsigned int type, unsigned int code, int value);

  libevdev* device_;
  libevdev_uinput* uinput_;
};

}  // namespace jskeys
