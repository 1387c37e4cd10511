#include "UinputOutput.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <cstring>
#include <string>

#include "Program.h"

namespace jskeys {

std::unique_ptr<UinputKeyOutput> UinputKeyOutput::Create(std::string& error) {
  libevdev* device = libevdev_new();
  if (!device) {
    error = "out of memory";
    return nullptr;
  }
  libevdev_set_name(device, kDeviceName);
  libevdev_enable_event_type(device, EV_KEY);
  for (const KeyInfo& key : AllKeys()) {
    if (key.evdev != 0) libevdev_enable_event_code(device, EV_KEY, key.evdev, nullptr);
  }
  // The wheels, and the two axes that make udev and libinput take the device for a mouse too
  // (a wheel alone is not a pointer to them). jskeys never moves the pointer.
  libevdev_enable_event_type(device, EV_REL);
  for (const unsigned int axis : {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL}) {
    libevdev_enable_event_code(device, EV_REL, axis, nullptr);
  }
  libevdev_uinput* uinput = nullptr;
  const int result = libevdev_uinput_create_from_device(device, LIBEVDEV_UINPUT_OPEN_MANAGED, &uinput);
  if (result != 0) {
    error = std::string("cannot make a virtual keyboard with /dev/uinput: ") + std::strerror(-result);
    libevdev_free(device);
    return nullptr;
  }
  return std::unique_ptr<UinputKeyOutput>(new UinputKeyOutput(device, uinput));
}

UinputKeyOutput::~UinputKeyOutput() {
  libevdev_uinput_destroy(uinput_);
  libevdev_free(device_);
}

std::string UinputKeyOutput::DevicePath() const {
  const char* node = libevdev_uinput_get_devnode(uinput_);
  return node ? node : "";
}

bool UinputKeyOutput::Write(unsigned int type, unsigned int code, int value) {
  const int result = libevdev_uinput_write_event(uinput_, type, code, value);
  if (result != 0) {
    jsprogram::Say(std::string("writing to /dev/uinput: ") + std::strerror(-result));
    return false;
  }
  return true;
}

// Each key change is its own report, so that a reader sees modifiers down before the key.
bool UinputKeyOutput::KeyDown(KeyId key) {
  const KeyInfo& info = AllKeys()[key];
  if (IsWheel(info.pointer)) {
    // REL_WHEEL counts up (away from the user) as positive, REL_HWHEEL right.
    const bool vertical = info.pointer == Pointer::kWheelUp || info.pointer == Pointer::kWheelDown;
    const bool positive = info.pointer == Pointer::kWheelUp || info.pointer == Pointer::kWheelRight;
    return Write(EV_REL, vertical ? REL_WHEEL : REL_HWHEEL, positive ? 1 : -1) &&
           Write(EV_SYN, SYN_REPORT, 0);
  }
  return Write(EV_KEY, info.evdev, 1) && Write(EV_SYN, SYN_REPORT, 0);
}
bool UinputKeyOutput::KeyUp(KeyId key) {
  if (IsWheelStep(key)) return true;
  return Write(EV_KEY, AllKeys()[key].evdev, 0) && Write(EV_SYN, SYN_REPORT, 0);
}
void UinputKeyOutput::Flush() {}

}  // namespace jskeys
