// The uinput output: a virtual device read back with libevdev. Needs /dev/uinput, which
// containers and CI machines usually lack; the test then says so and skips.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "UinputOutput.h"

namespace {

using namespace std::chrono_literals;

struct Seen {
  unsigned type;
  unsigned code;
  int value;
  bool operator==(const Seen&) const = default;
};

// The device jskeys made, read back and grabbed: the test's strokes must not reach the desktop
// it runs on.
class Reader {
 public:
  ~Reader() {
    if (reader_) {
      libevdev_grab(reader_, LIBEVDEV_UNGRAB);
      libevdev_free(reader_);
    }
    if (fd_ >= 0) close(fd_);
  }

  // False when the device cannot be read (`why`).
  bool Open(const std::string& node, std::string& why) {
    for (int tries = 0; tries < 100 && fd_ < 0; ++tries) {  // udev may still be setting it up
      fd_ = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd_ < 0) std::this_thread::sleep_for(20ms);
    }
    if (fd_ < 0 || libevdev_new_from_fd(fd_, &reader_) != 0 ||
        libevdev_grab(reader_, LIBEVDEV_GRAB) != 0) {
      why = "cannot read " + node;
      return false;
    }
    return true;
  }

  const char* Name() const { return libevdev_get_name(reader_); }

  // Key and wheel events, until `count` have come or two seconds have passed.
  std::vector<Seen> Take(std::size_t count) {
    std::vector<Seen> seen;
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (seen.size() < count && std::chrono::steady_clock::now() < deadline) {
      input_event event;
      const int result = libevdev_next_event(reader_, LIBEVDEV_READ_FLAG_NORMAL, &event);
      if (result == LIBEVDEV_READ_STATUS_SUCCESS) {
        if (event.type == EV_KEY || event.type == EV_REL) seen.push_back({event.type, event.code, event.value});
      } else {
        pollfd wait = {fd_, POLLIN, 0};
        poll(&wait, 1, 100);
      }
    }
    return seen;
  }

 private:
  int fd_ = -1;
  libevdev* reader_ = nullptr;
};

std::unique_ptr<jskeys::UinputKeyOutput> MakeOutput(std::string& why) {
  if (!std::filesystem::exists("/dev/uinput")) {
    why = "no /dev/uinput on this machine (module not loaded, or a container)";
    return nullptr;
  }
  auto output = jskeys::UinputKeyOutput::Create(why);
  if (!output) why += " (see the README for the udev rule)";
  return output;
}

jskeys::Action ActionOf(jskeys::Action::Kind kind, const char* text) {
  jskeys::KeyCombo combo;
  std::string error;
  EXPECT_TRUE(jskeys::ParseCombo(text, combo, error)) << error;
  return jskeys::Action::Keys(kind, combo);
}

TEST(Uinput, KeysButtonsAndWheelStepsComeOutInOrder) {
  std::string why;
  auto output = MakeOutput(why);
  if (!output) GTEST_SKIP() << why;
  Reader reader;
  ASSERT_TRUE(reader.Open(output->DevicePath(), why)) << why;
  EXPECT_STREQ(jskeys::UinputKeyOutput::kDeviceName, reader.Name());

  using Kind = jskeys::Action::Kind;
  struct Case {
    Kind kind;
    const char* combo;
    std::vector<Seen> expected;
  };
  const Case cases[] = {
      {Kind::kTap, "ctrl+F12",
       {{EV_KEY, KEY_LEFTCTRL, 1}, {EV_KEY, KEY_F12, 1}, {EV_KEY, KEY_F12, 0}, {EV_KEY, KEY_LEFTCTRL, 0}}},
      {Kind::kTap, "wheel_up", {{EV_REL, REL_WHEEL, 1}}},
      {Kind::kTap, "wheel_down", {{EV_REL, REL_WHEEL, -1}}},
      {Kind::kTap, "wheel_left", {{EV_REL, REL_HWHEEL, -1}}},
      {Kind::kTap, "ctrl+wheel_right",
       {{EV_KEY, KEY_LEFTCTRL, 1}, {EV_REL, REL_HWHEEL, 1}, {EV_KEY, KEY_LEFTCTRL, 0}}},
      {Kind::kPress, "button1", {{EV_KEY, BTN_LEFT, 1}}},
      {Kind::kRelease, "button1", {{EV_KEY, BTN_LEFT, 0}}},
      {Kind::kTap, "shift+button3",
       {{EV_KEY, KEY_LEFTSHIFT, 1}, {EV_KEY, BTN_RIGHT, 1}, {EV_KEY, BTN_RIGHT, 0}, {EV_KEY, KEY_LEFTSHIFT, 0}}},
      {Kind::kTap, "button2", {{EV_KEY, BTN_MIDDLE, 1}, {EV_KEY, BTN_MIDDLE, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.combo);
    ASSERT_TRUE(output->Send(ActionOf(c.kind, c.combo)));
    EXPECT_EQ(c.expected, reader.Take(c.expected.size()));
  }
}

}  // namespace
