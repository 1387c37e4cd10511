// The X11 focus source under an Xvfb of the test's own: the class and title of the focused
// window, from the properties as clients really set them, cut to their bound.

#include <X11/Xatom.h>
#include <gtest/gtest.h>
#include <poll.h>

#include "ChildProcess.h"
#include "X11Focus.h"
#include "XServer.h"

namespace jskeys {
// Failures show the texts, the long ones shortened.
inline void PrintTo(const FocusedWindow& window, std::ostream* out) {
  *out << "{\"" << window.windowClass.substr(0, 40) << "\" (" << window.windowClass.size()
       << " bytes), \"" << window.title.substr(0, 40) << "\" (" << window.title.size() << " bytes)}";
}
}  // namespace jskeys

namespace {

using jskeys::FocusedWindow;

struct Properties {
  std::optional<std::string> wmClass;  // "instance\0class\0"
  std::optional<std::string> netWmName;
  std::optional<std::string> wmName;  // Latin-1
};

void Set(Display* display, Window window, Atom property, Atom type, const std::string& value) {
  XChangeProperty(display, window, property, type, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(value.data()),
                  static_cast<int>(value.size()));
}

// What the focus source tells once the server's events have come: it reads nothing on its own.
FocusedWindow Told(jskeys::X11Focus& focus, const FocusedWindow& expected) {
  const auto deadline = std::chrono::steady_clock::now() + jstesting::kPatience;
  while (!(focus.Focused() == expected) && std::chrono::steady_clock::now() < deadline) {
    pollfd ready = {static_cast<int>(focus.Handle()), POLLIN, 0};
    poll(&ready, 1, 50);
    focus.Dispatch();
  }
  return focus.Focused();
}

TEST(X11Focus, ClassAndTitleOfTheFocusedWindow) {
  jskeys_test::Xvfb& xvfb = jskeys_test::Xvfb::Shared();
  std::string error;
  if (!jskeys_test::Xvfb::Installed()) GTEST_SKIP() << "Xvfb is not installed";
  ASSERT_TRUE(xvfb.Running() || xvfb.Start(error)) << error;
  Display* display = XOpenDisplay(xvfb.display().c_str());
  ASSERT_TRUE(display);
  auto x = jskeys::X11Connection::Open(xvfb.display(), error);
  ASSERT_TRUE(x) << error;
  jskeys::X11Focus focus(x);
  const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);

  const std::string x1023(1023, 'x');
  struct Case {
    const char* name;
    Properties properties;
    FocusedWindow expected;
  };
  const Case cases[] = {
      {"UTF-8 title", {std::string("ed\0Editor\0", 10), "Schnitt – Ü", {}}, {"Editor", "Schnitt – Ü"}},
      {"Latin-1 WM_NAME only", {std::string("o\0Old\0", 6), {}, "caf\xe9"}, {"Old", "caf\xc3\xa9"}},
      {"_NET_WM_NAME wins", {std::string("b\0Both\0", 7), "new", "old"}, {"Both", "new"}},
      {"long texts are cut", {"i" + std::string(1, '\0') + std::string(3000, 'c') + '\0', x1023 + "é", {}},
       {std::string(1024, 'c'), x1023}},
      {"long Latin-1 title", {std::string("l\0L\0", 4), {}, std::string(2000, '\xe9')},
       {"L", [] {
          std::string text;
          for (int i = 0; i < 512; ++i) text += "\xc3\xa9";
          return text;
        }()}},
      {"nothing set", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 50, 50, 0, 0, 0);
    if (c.properties.wmClass) Set(display, window, XA_WM_CLASS, XA_STRING, *c.properties.wmClass);
    if (c.properties.netWmName) Set(display, window, netWmName, utf8, *c.properties.netWmName);
    if (c.properties.wmName) Set(display, window, XA_WM_NAME, XA_STRING, *c.properties.wmName);
    // The focus on a child, as toolkits put it: the top-level window still names it.
    const Window child = XCreateSimpleWindow(display, window, 0, 0, 10, 10, 0, 0, 0);
    XMapWindow(display, window);
    XMapWindow(display, child);
    XSync(display, False);
    XSetInputFocus(display, child, RevertToParent, CurrentTime);
    XSync(display, False);
    EXPECT_EQ(c.expected, Told(focus, c.expected));
    // A title that changes while the window has the focus is followed.
    if (c.properties.netWmName) {
      Set(display, window, netWmName, utf8, "renamed");
      XSync(display, False);
      EXPECT_EQ((FocusedWindow{c.expected.windowClass, "renamed"}),
                Told(focus, {c.expected.windowClass, "renamed"}));
    }
    XDestroyWindow(display, window);
  }
  XCloseDisplay(display);
}

}  // namespace
