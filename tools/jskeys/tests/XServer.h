#pragma once
// An Xvfb of the test's own on a free display, and a small X client that owns windows with a
// class of the test's choosing, gives them the focus and records the key and button events
// they get.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FindProgram.h"
#include "TempDir.h"

extern char** environ;

namespace jskeys_test {

class Xvfb {
 public:
  ~Xvfb() { Stop(); }

  // The server a test program's tests share; started again after a test has stopped it.
  static Xvfb& Shared() {
    static Xvfb server;
    return server;
  }

  static bool Installed() { return !FindProgram("Xvfb").empty(); }

  // Whether the server still runs.
  bool Running() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    return pid_ > 0;
  }

  // As a session's X server goes away: its clients' connections break.
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

  // A server that does not answer, as one stopped in a debugger or swapped out; and again.
  void Freeze(bool frozen) const {
    if (pid_ > 0) kill(pid_, frozen ? SIGSTOP : SIGCONT);
  }

  // Starts the server and waits until it tells its display number. False with `error` set,
  // what the server said among it. `display` ":N": that display again, once its server is gone.
  bool Start(std::string& error, const std::string& display = "") {
    const std::string program = FindProgram("Xvfb");
    if (program.empty()) {
      error = "Xvfb is not installed (Debian package xvfb)";
      return false;
    }
    Stop();
    int fds[2];
    if (!dir_.Made() || pipe(fds) != 0) {
      error = "no temporary directory, or no pipe";
      return false;
    }
    const std::string fd = std::to_string(fds[1]);
    std::vector<std::string> words = {program, "-displayfd", fd, "-nolisten", "tcp",
                                      "-screen", "0", "640x480x24", "-noreset"};
    if (!display.empty()) words.insert(words.begin() + 1, display);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string log = dir_ / "Xvfb.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int result = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (result != 0) {
      close(fds[0]);
      pid_ = -1;
      error = "Xvfb could not be started";
      return false;
    }
    // It writes the number once it takes clients, and its end closes the pipe: no need to
    // wait for time, only a bound for a server that hangs.
    std::string number;
    pollfd wait = {fds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && poll(&wait, 1, 30000) > 0) {
      char c[16];
      const ssize_t got = read(fds[0], c, sizeof c);
      if (got <= 0) break;
      number.append(c, static_cast<std::size_t>(got));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
      std::ifstream said(log);
      error = "Xvfb did not tell its display number; it said:\n" +
              std::string(std::istreambuf_iterator<char>(said), std::istreambuf_iterator<char>());
      Stop();
      return false;
    }
    display_ = ":" + number.substr(0, number.find('\n'));
    return true;
  }

  const std::string& display() const { return display_; }

 private:
  jstesting::TempDir dir_;  // its log
  pid_t pid_ = -1;
  std::string display_;
};

// "Editor down Control_L": the class of the window that got it, the change, the key.
class KeyRecorder {
 public:
  bool Open(const std::string& display) {
    display_ = XOpenDisplay(display.c_str());
    return display_ != nullptr;
  }
  ~KeyRecorder() { Close(); }
  // Before its server goes away: Xlib would end the test at the next call otherwise.
  void Close() {
    if (display_) XCloseDisplay(display_);
    display_ = nullptr;
    classes_.clear();
  }

  // A mapped top-level window of that class, ready to take the focus; its events are named by
  // `label` (the class, when none is given).
  Window MakeWindow(const std::string& windowClass, const std::string& label = "") {
    const Window window = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 100,
                                              100, 0, 0, 0);
    std::string name = windowClass;
    std::string instance = "instance";
    XClassHint hint{instance.data(), name.data()};
    XSetClassHint(display_, window, &hint);
    XSelectInput(display_, window, KeyPressMask | KeyReleaseMask | ButtonPressMask |
                                       ButtonReleaseMask | StructureNotifyMask);
    XMapWindow(display_, window);
    XEvent event;
    do {
      XWindowEvent(display_, window, StructureNotifyMask, &event);
    } while (event.type != MapNotify);
    classes_.push_back({window, label.empty() ? windowClass : label});
    return window;
  }

  // True when the server holds no key down.
  bool NothingDown() {
    char down[32] = {};
    XQueryKeymap(display_, down);
    for (const char byte : down) {
      if (byte != 0) return false;
    }
    return true;
  }

  void Focus(Window window) {
    XSetInputFocus(display_, window, RevertToParent, CurrentTime);
    XSync(display_, False);
  }

  // Buttons go to the window under the pointer, not to the focused one.
  void PointAt(Window window) {
    XWarpPointer(display_, None, window, 0, 0, 0, 0, 10, 10);
    XSync(display_, False);
  }

  // Key events until `count` have come or the time is up.
  std::vector<std::string> Take(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> events;
    while (events.size() < count) {
      if (XPending(display_) == 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd fd = {ConnectionNumber(display_), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left.count()));
        continue;
      }
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type == ButtonPress || event.type == ButtonRelease) {  // "Editor down button4"
        events.push_back(ClassOf(event.xbutton.window) +
                         (event.type == ButtonPress ? " down button" : " up button") +
                         std::to_string(event.xbutton.button));
        continue;
      }
      if (event.type != KeyPress && event.type != KeyRelease) continue;
      const KeySym sym = XLookupKeysym(&event.xkey, 0);
      const char* name = XKeysymToString(sym);
      events.push_back(ClassOf(event.xkey.window) + (event.type == KeyPress ? " down " : " up ") +
                       (name ? name : "?"));
    }
    return events;
  }

 private:
  std::string ClassOf(Window window) const {
    for (const auto& [w, name] : classes_) {
      if (w == window) return name;
    }
    return "?";
  }

  Display* display_ = nullptr;
  std::vector<std::pair<Window, std::string>> classes_;
};

}  // namespace jskeys_test
