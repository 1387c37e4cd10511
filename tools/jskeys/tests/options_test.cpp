// jskeys's command line.

#include <gtest/gtest.h>

#include "KeysOptions.h"

namespace {

using jskeys::Backend;
using jskeys::KeysOptions;

TEST(KeysOptions, Accepted) {
  struct Case {
    std::vector<std::string> arguments;
    std::uint32_t port;
    Backend backend;
    std::optional<std::uint32_t> s, c;
  };
  const Case cases[] = {
      {{}, 0, Backend::kAuto, {}, {}},
      {{"--port", "3"}, 3, Backend::kAuto, {}, {}},
      {{"--port=255"}, 255, Backend::kAuto, {}, {}},
      {{"--port", "1", "--dry-run"}, 1, Backend::kDryRun, {}, {}},
      {{"--backend", "x11"}, 0, Backend::kX11, {}, {}},
      {{"--backend=uinput"}, 0, Backend::kUinput, {}, {}},
      {{"--backend", "wayland"}, 0, Backend::kWayland, {}, {}},
      {{"--backend", "dry-run", "--dry-run"}, 0, Backend::kDryRun, {}, {}},
      {{"--s-modifiers", "0x40", "--c-modifiers", "128"}, 0, Backend::kAuto, 0x40, 0x80},
      {{"--s-modifiers", "0", "--c-modifiers", "0xFFFFFFFF"}, 0, Backend::kAuto, 0, 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    KeysOptions options;
    std::string error;
    ASSERT_TRUE(jskeys::ParseKeysOptions(c.arguments, options, error)) << error;
    EXPECT_EQ(c.port, options.port);
    EXPECT_EQ(c.backend, options.backend);
    EXPECT_EQ(c.s, options.sModifiers);
    EXPECT_EQ(c.c, options.cModifiers);
  }
  KeysOptions options;
  std::string error;
  ASSERT_TRUE(jskeys::ParseKeysOptions({"--config", "a.toml", "--wait"}, options, error));
  EXPECT_EQ("a.toml", options.config);
  EXPECT_TRUE(options.wait);
  ASSERT_TRUE(jskeys::ParseKeysOptions({"--check", "b.toml"}, options, error));
  EXPECT_EQ("b.toml", options.check);
}

TEST(KeysOptions, Refused) {
  const std::vector<std::vector<std::string>> cases = {
      {"--port"},
      {"--port", "0"},
      {"--port", "256"},
      {"--port", "4294967299"},  // would wrap to 3
      {"--port", "-1"},
      {"--port", "+3"},
      {"--port", " 3"},
      {"--port", "3 "},
      {"--port", "03"},  // no octal, no leading zeros
      {"--port", "0x3"},
      {"--port", "3abc"},
      {"--port", ""},
      {"--backend", "Wayland"},
      {"--backend", "x11", "--dry-run"},
      {"--s-modifiers", "0x1FFFFFFFF"},
      {"--s-modifiers", "4294967296"},
      {"--c-modifiers", ""},
      {"--c-modifiers", "-1"},
      {"--c-modifiers", "0x"},
      {"--c-modifiers", "0xg"},
      {"--wait=maybe"},
      {"COM3"},
      {"--unknown"},
  };
  for (const auto& arguments : cases) {
    KeysOptions options;
    std::string error;
    std::string shown;
    for (const auto& a : arguments) shown += "[" + a + "]";
    EXPECT_FALSE(jskeys::ParseKeysOptions(arguments, options, error)) << shown;
    EXPECT_FALSE(error.empty()) << shown;
  }
}

// The help speaks of the platform it runs on: where its map is, how keys go out, how it is
// stopped; nothing of the other platform.
TEST(KeysOptions, TheHelpIsThePlatformsOwn) {
#if defined(_WIN32)
  const std::vector<std::string> said = {"%APPDATA%\\jogshuttle\\keys.toml", "SendInput", "COM",
                                         "Ctrl-C", "closing the console", "--config"};
  const std::vector<std::string> unsaid = {"XDG_CONFIG_HOME", "uinput", "Wayland", "X11",
                                           "JS_PORT_DIR", "/dev/", "SIGTERM"};
#else
  const std::vector<std::string> said = {"$XDG_CONFIG_HOME/jogshuttle/keys.toml", "uinput",
                                         "Wayland", "JS_PORT_DIR", "SIGTERM", "--config"};
  const std::vector<std::string> unsaid = {"APPDATA", "SendInput", "Ctrl-C", "console"};
#endif
  KeysOptions options;
  std::string error;
  ASSERT_TRUE(jskeys::ParseKeysOptions({"--help"}, options, error)) << error;
  ASSERT_TRUE(options.help);
  for (const std::string& word : said) {
    EXPECT_NE(std::string::npos, options.helpText.find(word)) << word << " missing from\n"
                                                              << options.helpText;
  }
  for (const std::string& word : unsaid) {
    EXPECT_EQ(std::string::npos, options.helpText.find(word)) << word << " is not here, yet in\n"
                                                              << options.helpText;
  }
}

}  // namespace
