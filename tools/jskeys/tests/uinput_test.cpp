// The uinput output: a virtual keyboard read back with libevdev. Needs /dev/uinput, which
// containers and CI machines usually lack; the test then says so and skips.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "UinputOutput.h"

namespace {

using namespace std::chrono_literals;

struct Seen {
  unsigned code;
  int value;
  bool operator==(const Seen&) const = default;
};

TEST(Uinput, ATapComesOutAsModifierDownKeyDownKeyUpModifierUp) {
  if (!std::filesystem::exists("/dev/uinput")) {
    GTEST_SKIP() << "no /dev/uinput on this machine (module not loaded, or a container)";
  }
  std::string error;
  auto output = jskeys::UinputKeyOutput::Create(error);
  if (!output) GTEST_SKIP() << error << " (see the README for the udev rule)";
  const std::string node = output->DevicePath();
  ASSERT_FALSE(node.empty());

  int fd = -1;
  for (int tries = 0; tries < 100 && fd < 0; ++tries) {  // udev may still be setting it up
    fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) std::this_thread::sleep_for(20ms);
  }
  ASSERT_GE(fd, 0) << node;
  libevdev* reader = nullptr;
  ASSERT_EQ(0, libevdev_new_from_fd(fd, &reader));
  EXPECT_STREQ(jskeys::UinputKeyOutput::kDeviceName, libevdev_get_name(reader));
  // Ours alone: the test's strokes must not reach the desktop it runs on.
  ASSERT_EQ(0, libevdev_grab(reader, LIBEVDEV_GRAB));

  jskeys::KeyCombo combo;
  ASSERT_TRUE(jskeys::ParseCombo("ctrl+F12", combo, error));
  ASSERT_TRUE(output->Send({jskeys::Action::Kind::kTap, combo}));

  std::vector<Seen> seen;
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (seen.size() < 4 && std::chrono::steady_clock::now() < deadline) {
    input_event event;
    const int result = libevdev_next_event(reader, LIBEVDEV_READ_FLAG_NORMAL, &event);
    if (result == LIBEVDEV_READ_STATUS_SUCCESS) {
      if (event.type == EV_KEY) seen.push_back({event.code, event.value});
    } else {
      pollfd wait = {fd, POLLIN, 0};
      poll(&wait, 1, 100);
    }
  }
  const std::vector<Seen> expected = {
      {KEY_LEFTCTRL, 1}, {KEY_F12, 1}, {KEY_F12, 0}, {KEY_LEFTCTRL, 0}};
  EXPECT_EQ(expected, seen);
  libevdev_grab(reader, LIBEVDEV_UNGRAB);
  libevdev_free(reader);
  close(fd);
}

}  // namespace
