// The Wayland focus source under a headless sway: the activated toplevel's app_id and title, cut
// to their bound, and nothing once no window is left.

#include <gtest/gtest.h>

#include <poll.h>

#include <cstdlib>

#include "SwaySession.h"
#include "WaylandBackend.h"

namespace jskeys {
// Failures show the texts, the long ones shortened.
inline void PrintTo(const FocusedWindow& window, std::ostream* out) {
  *out << "{\"" << window.windowClass.substr(0, 40) << "\" (" << window.windowClass.size()
       << " bytes), \"" << window.title.substr(0, 40) << "\" (" << window.title.size() << " bytes)}";
}
}  // namespace jskeys

namespace {

using namespace std::chrono_literals;
using jskeys::FocusedWindow;
using jskeys_test::SwaySession;

// Serves the source as the event loop does (Dispatch when its handle is readable) until it
// tells `expected` or the time is up.
FocusedWindow AskUntil(jskeys::FocusSource& focus, const FocusedWindow& expected,
                       std::chrono::milliseconds timeout = 10s) {
  FocusedWindow seen = focus.Focused();
  for (auto deadline = std::chrono::steady_clock::now() + timeout;
       !(seen == expected) && std::chrono::steady_clock::now() < deadline;) {
    pollfd ready = {static_cast<int>(focus.Handle()), POLLIN, 0};
    if (poll(&ready, 1, 20) > 0) focus.Dispatch();
    seen = focus.Focused();
  }
  return seen;
}

TEST(WaylandFocus, FollowsTheActivatedToplevelWithBoundedTexts) {
  SwaySession& sway = SwaySession::Shared();
  std::string error;
  bool missing = false;
  if (!sway.Start(error, missing)) {
    if (missing) GTEST_SKIP() << error;
    FAIL() << error;
  }
  if (jskeys_test::FindProgram("foot").empty()) GTEST_SKIP() << "foot is not installed";
  for (const std::string& variable : sway.ClientEnvironment()) {
    const std::size_t equals = variable.find('=');
    setenv(variable.substr(0, equals).c_str(), variable.substr(equals + 1).c_str(), 1);
  }
  std::shared_ptr<jskeys::wayland::Connection> connection = jskeys::wayland::Connect(error);
  ASSERT_TRUE(connection) << error;
  ASSERT_TRUE(jskeys::wayland::WhatItOffers(*connection).foreignToplevel);
  std::unique_ptr<jskeys::FocusSource> focus = jskeys::wayland::MakeFocus(connection, error);
  ASSERT_TRUE(focus) << error;
  EXPECT_EQ(FocusedWindow{}, focus->Focused());  // no window yet

  const std::string x1023(1023, 'x');
  struct Window {
    std::string appId, title;
    FocusedWindow expected;
  };
  const Window windows[] = {
      {"editor", "Schnitt – Ü", {"editor", "Schnitt – Ü"}},
      {std::string(3000, 'a'), "t", {std::string(1024, 'a'), "t"}},
      {"utf8", x1023 + "é and more", {"utf8", x1023}},  // never half a character
  };
  for (const Window& window : windows) {
    SCOPED_TRACE(window.expected.windowClass.substr(0, 20));
    ASSERT_TRUE(sway.Exec("foot --app-id='" + window.appId + "' --title='" +
                             window.title + "' --hold true"));
    ASSERT_TRUE(sway.Focus(window.appId));
    EXPECT_EQ(window.expected, AskUntil(*focus, window.expected));
  }
  // The focus goes back to the first window, and then no window is left.
  ASSERT_TRUE(sway.Focus("editor"));
  EXPECT_EQ(windows[0].expected, AskUntil(*focus, windows[0].expected));
  for (const Window& window : windows) {
    ASSERT_TRUE(sway.Message("[app_id=\"" + window.appId + "\"] kill"));
  }
  EXPECT_EQ(FocusedWindow{}, AskUntil(*focus, FocusedWindow{}));
}

}  // namespace
