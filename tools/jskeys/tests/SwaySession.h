#pragma once
// A headless sway of the test's own, its clients started with `swaymsg exec`, and the events
// that wev (app_id "wev") receives, read as they come. sway refuses to run as root, so as root
// it runs as nobody, in a directory of the test's own that nobody owns; root still reaches its
// sockets. Not as root, it runs as the test's own user.

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "FindProgram.h"
#include "TempDir.h"
#include "UniqueFd.h"

namespace jskeys_test {

// "down space", "up Control_L", "mods Control", "mods none", "press left", "release left",
// "axis vertical -15.000000 discrete -1": what wev printed, one event a string.
class WevLog {
 public:
  explicit WevLog(jsposix::UniqueFd fifo) : fifo_(std::move(fifo)) {}

  // Events until `count` have come or the time is up.
  std::vector<std::string> Take(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (events_.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd ready = {fifo_.get(), POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      const ssize_t got = read(fifo_.get(), buffer, sizeof buffer);
      if (got <= 0) break;  // wev is gone
      pending_.append(buffer, static_cast<std::size_t>(got));
      for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        Parse(pending_.substr(0, end));
        pending_.erase(0, end + 1);
      }
    }
    const std::size_t taken = std::min(count, events_.size());
    std::vector<std::string> events(events_.begin(), events_.begin() + static_cast<long>(taken));
    events_.erase(events_.begin(), events_.begin() + static_cast<long>(taken));
    return events;
  }

 private:
  static std::string After(const std::string& line, const std::string& label) {
    const std::size_t at = line.find(label);
    if (at == std::string::npos) return {};
    const std::size_t start = at + label.size();
    return line.substr(start, line.find_first_of(";,", start) - start);
  }
  static std::string Word(const std::string& text, std::size_t index) {
    std::istringstream words(text);
    std::string word;
    for (std::size_t i = 0; words >> word; ++i) {
      if (i == index) return word;
    }
    return {};
  }

  void Parse(const std::string& line) {
    if (line.rfind("[", 0) == 0) {
      // "[13:     wl_keyboard] key: ...". wev takes a new wl_keyboard each time the seat's
      // capabilities change, and prints every event once per keyboard: one object is heard.
      const std::string object = line.substr(1, line.find(':') - 1);
      std::string& heard = line.find("wl_keyboard]") != std::string::npos ? keyboard_ : pointer_;
      if (heard.empty()) heard = object;
      event_ = heard == object ? Word(line.substr(line.find(']') + 1), 0) : "";
      const bool pressed = line.find("state: 1") != std::string::npos;
      if (event_ == "button:") {  // "...; button: 272 (left), state: 1 (pressed)"
        const std::size_t open = line.find('(', line.find("; button: "));
        events_.push_back((pressed ? "press " : "release ") +
                          line.substr(open + 1, line.find(')', open) - open - 1));
      } else if (event_ == "axis_stop:") {  // wev's name for axis_discrete
        discrete_ = After(line, "discrete: ");
      } else if (event_ == "axis:") {  // "axis: time: 5; axis: 0 (vertical), value: 15.000000"
        std::string axis = Word(After(line, "; axis: "), 1);
        axis = axis.substr(1, axis.size() - 2);
        std::string text = "axis " + axis + " " + After(line, "value: ");
        if (!discrete_.empty()) text += " discrete " + discrete_;
        discrete_.clear();
        events_.push_back(text);
      } else if (event_ == "key:") {
        down_ = pressed;
      }
      return;
    }
    if (event_ == "key:" && line.find("sym: ") != std::string::npos) {
      events_.push_back((down_ ? "down " : "up ") + Word(After(line, "sym: "), 0));
    } else if (event_ == "modifiers:" && line.find("depressed: ") != std::string::npos) {
      // "depressed: 00000004: Control "
      const std::string names = line.substr(std::min(line.size(), line.find("depressed: ") + 21));
      std::string text;
      for (std::size_t i = 0; !Word(names, i).empty(); ++i) text += " " + Word(names, i);
      events_.push_back("mods" + (text.empty() ? std::string(" none") : text));
    }
  }

  jsposix::UniqueFd fifo_;
  std::string pending_;
  std::vector<std::string> events_;
  std::string keyboard_, pointer_;  // the objects heard
  std::string event_;               // the event whose lines follow
  std::string discrete_;
  bool down_ = false;
};

class SwaySession {
 public:
  // The clients go first: wev, for one, spins when its compositor is gone instead of ending.
  // They are ours to reap (see Start), so none is left behind, not even as a zombie.
  ~SwaySession() {
    if (!ipc_.empty()) Message("[app_id=\".*\"] kill");
    std::ifstream pids(dir_ / "pids");
    for (pid_t pid = 0; pids >> pid;) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          kill(pid, SIGKILL);
          waitpid(pid, nullptr, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    if (!ipc_.empty()) Message("exit");
    if (sway_.Running()) sway_.WaitForExit(std::chrono::seconds(5));
    // Whatever else the clients left (a terminal's shell) ends with them.
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
         std::chrono::steady_clock::now() < end;) {
      if (waitpid(-1, nullptr, WNOHANG) <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // Starts sway and waits for its sockets. False with `error` set; `missing` tells that sway or
  // a program it needs is not installed, for the test to skip.
  bool Start(std::string& error, bool& missing) {
    missing = false;
    sway_path_ = FindProgram("sway");
    swaymsg_ = FindProgram("swaymsg");
    if (sway_path_.empty() || swaymsg_.empty()) {
      missing = true;
      error = "sway is not installed (Debian package sway)";
      return false;
    }
    if (!dir_.Made()) return Fail(error, "no temporary directory");
    // sway starts each client in a grandchild that its init would adopt and, in a container,
    // perhaps never reap: this process adopts them instead.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::vector<std::string> words;
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (geteuid() == 0) {  // "Unable to drop root": sway runs as nobody
      const passwd* nobody = getpwnam("nobody");
      const std::string setpriv = FindProgram("setpriv");
      if (!nobody || setpriv.empty()) return Fail(error, "no user nobody, or no setpriv");
      uid = nobody->pw_uid;
      gid = nobody->pw_gid;
      words = {setpriv, "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(gid),
               "--clear-groups"};
    }
    const std::string run = dir_ / "run";
    if (mkdir(run.c_str(), 0700) != 0 || chown(run.c_str(), uid, gid) != 0 ||
        chown(dir_.path().c_str(), uid, gid) != 0) {
      return Fail(error, "cannot give " + dir_.path() + " to the sway user");
    }
    std::ofstream(dir_ / "config") << "output HEADLESS-1 resolution 800x600\nxwayland disable\n";
    words.insert(words.end(), {sway_path_, "-c", dir_ / "config"});
    const char* path = std::getenv("PATH");
    jstesting::ChildSetup setup;
    setup.environment = {"HOME=" + dir_.path(), "XDG_RUNTIME_DIR=" + run, "WLR_BACKENDS=headless",
                         "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman",
                         std::string("PATH=") + (path ? path : "/usr/bin:/bin")};
    setup.ownEnvironment = true;
    setup.discardOutput = true;
    if (!sway_.Start(words, setup)) {
      return Fail(error, "sway could not be started");
    }
    // Its sockets appear once it is ready for clients and commands.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ipc_.empty() || display_.empty()) {
      std::error_code ignored;
      for (const auto& entry : std::filesystem::directory_iterator(run, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("sway-ipc.", 0) == 0) ipc_ = entry.path().string();
        if (name.rfind("wayland-", 0) == 0 && name.find(".lock") == std::string::npos) display_ = name;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        return Fail(error, "sway made no sockets in time: " + sway_.Errors());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    uid_ = uid;
    gid_ = gid;
    return true;
  }

  // What a client of the test's own (jskeys) needs to reach this sway.
  std::vector<std::string> ClientEnvironment() const {
    return {"XDG_RUNTIME_DIR=" + dir_ / "run", "WAYLAND_DISPLAY=" + display_};
  }

  // A sway command through swaymsg; true when sway carried it out.
  bool Message(const std::string& command) {
    jstesting::ChildProcess swaymsg;
    jstesting::ChildSetup setup;
    setup.discardOutput = true;
    return swaymsg.Start({swaymsg_, "-q", "-s", ipc_, command}, setup) &&
           swaymsg.WaitForExit(std::chrono::seconds(20)) == 0;
  }

  // Starts a client (a shell command line, run as sway's user); its process id is kept so that
  // it is surely ended with the session.
  bool Exec(const std::string& command) {
    // sway reads "$$" as "$"; "&&", as ";" would end sway's command.
    return Message("exec echo $$$$ >> " + dir_ / "pids" + " && exec " + command);
  }

  // Focuses the window of that app_id, waiting up to `timeout` for it to appear. A command
  // after it makes sure sway has flushed what it told its clients about the focus.
  bool Focus(const std::string& appId, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!Message("[app_id=\"" + appId + "\"] focus")) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Message("nop");
  }

  // Starts wev, focuses it and returns its events; null when wev is not installed (`error`).
  std::unique_ptr<WevLog> StartWev(std::string& error) {
    if (FindProgram("wev").empty()) {
      error = "wev is not installed (Debian package wev)";
      return nullptr;
    }
    const std::string fifo = dir_ / "wev.fifo";
    if (mkfifo(fifo.c_str(), 0600) != 0 || chown(fifo.c_str(), uid_, gid_) != 0) {
      error = "cannot make " + fifo;
      return nullptr;
    }
    // Opened for reading first, so that wev's shell can open it for writing without waiting.
    jsposix::UniqueFd reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!reader.valid() ||
        !Exec("stdbuf -oL wev -f wl_keyboard -f wl_pointer > " + fifo) || !Focus("wev")) {
      error = "wev did not come up: " + sway_.Errors();
      return nullptr;
    }
    return std::make_unique<WevLog>(std::move(reader));
  }

  // sway's IPC socket, for a test that sends commands faster than swaymsg starts.
  const std::string& IpcSocket() const { return ipc_; }

  // A file that clients started by sway may write.
  std::string Path(const std::string& name) const { return dir_ / name; }

 private:
  static bool Fail(std::string& error, const std::string& why) {
    error = why;
    return false;
  }

  jstesting::TempDir dir_;
  std::string sway_path_, swaymsg_;
  std::string ipc_, display_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  jstesting::ChildProcess sway_;  // after dir_: ended before the directory goes
};

}  // namespace jskeys_test
