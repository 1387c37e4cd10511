#pragma once
// A headless sway of the test's own, its clients started with `swaymsg exec`, and the events
// that wev (app_id "wev") receives, read as they come. sway refuses to run as root, so as root
// it runs as nobody; root still reaches its sockets. Not as root, it runs as the test's own user.
// Whatever that user must reach (the working directory, the config, the fifos, the clients'
// logs) is in the session's directory, which it owns: the tests' own working directory may be
// closed to it (a checkout under a private folder).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

// Waits until a child of ours ends, and reaps it; kills it once `timeout` has passed.
inline void Reap(pid_t pid, std::chrono::milliseconds timeout) {
  const jsposix::UniqueFd ended(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (waitpid(pid, nullptr, WNOHANG) == 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return;
    }
    pollfd ready = {ended.get(), POLLIN, 0};
    if (ended.valid()) {
      poll(&ready, 1, static_cast<int>(left.count()));
    } else {  // kernels before 5.3 have no pidfd
      std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(20)));
    }
  }
}

// True when that user may enter `dir` and every directory above it.
inline bool Enterable(const std::filesystem::path& dir, uid_t uid, gid_t gid) {
  std::error_code failed;
  std::filesystem::path at = std::filesystem::absolute(dir, failed);
  for (;; at = at.parent_path()) {
    struct stat status {};
    if (failed || stat(at.c_str(), &status) != 0) return false;
    const mode_t bit = status.st_uid == uid ? S_IXUSR : status.st_gid == gid ? S_IXGRP : S_IXOTH;
    if ((status.st_mode & bit) == 0) return false;
    if (at == at.parent_path()) return true;
  }
}

// The processes that `pid` started, and theirs, as they are now.
inline void AddDescendants(pid_t pid, std::vector<pid_t>& found) {
  std::error_code failed;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, failed)) {
    std::ifstream children(task.path() / "children");
    for (pid_t child = 0; children >> child;) {
      found.push_back(child);
      AddDescendants(child, found);
    }
  }
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SwaySession {
 public:
  SwaySession() = default;
  SwaySession(const SwaySession&) = delete;
  SwaySession& operator=(const SwaySession&) = delete;
  ~SwaySession() { Stop(); }

  // The session a test program's tests share: one sway for all of them, started again only
  // after a test has ended it (see Start).
  static SwaySession& Shared() {
    static SwaySession session;
    return session;
  }

  // Starts sway and waits until it has run its config's last command, which tells its IPC
  // socket and its display. A session already up stays, only without the clients the test
  // before left. False with `error` set; `missing` tells that sway or a program it needs is not
  // installed, for the test to skip.
  bool Start(std::string& error, bool& missing) {
    missing = false;
    if (Alive()) {
      EndClients();
      return true;
    }
    Stop();
    sway_path_ = FindProgram("sway");
    swaymsg_ = FindProgram("swaymsg");
    const std::string env = FindProgram("env");
    if (sway_path_.empty() || swaymsg_.empty()) {
      missing = true;
      error = "sway is not installed (Debian package sway)";
      return false;
    }
    if (env.empty()) return Fail(error, "no env to start sway in its own directory");
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
    std::error_code failed;
    std::filesystem::path base = std::filesystem::temp_directory_path(failed);
    if (failed || !Enterable(base, uid, gid)) base = "/tmp";
    if (!Enterable(base, uid, gid)) {
      return Fail(error, "sway's user (uid " + std::to_string(uid) +
                             ") may enter neither the temporary directory nor /tmp");
    }
    dir_ = std::make_unique<jstesting::TempDir>(base);
    if (!dir_->Made()) return Fail(error, "no temporary directory under " + base.string());
    const std::string dir = dir_->path();
    const std::string run = Path("run");
    const std::string ready = Path("ready");
    if (mkdir(run.c_str(), 0700) != 0 || chown(run.c_str(), uid, gid) != 0 ||
        chown(dir.c_str(), uid, gid) != 0 || mkfifo(ready.c_str(), 0600) != 0 ||
        chown(ready.c_str(), uid, gid) != 0) {
      return Fail(error, "cannot give " + dir + " to the sway user");
    }
    // Read first, so that the config's last command can open the fifo without waiting.
    const jsposix::UniqueFd readyReader(open(ready.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    std::ofstream(Path("config")) << "output HEADLESS-1 resolution 800x600\n"
                                  << "xwayland disable\n"
                                  << "exec echo $$$$ >> " << Path("pids")
                                  << " && printf '%s %s\\n' "
                                  << "\"$SWAYSOCK\" \"$WAYLAND_DISPLAY\" > " << ready << "\n";
    // In the session's directory: a terminal starts its shell in its own working directory.
    words.insert(words.end(), {env, "-C", dir, sway_path_, "--verbose", "-c", Path("config")});
    const char* path = std::getenv("PATH");
    jstesting::ChildSetup setup;
    setup.environment = {
        "HOME=" + dir,           "XDG_RUNTIME_DIR=" + run,
        "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1",
        "WLR_RENDERER=pixman",   std::string("PATH=") + (path ? path : "/usr/bin:/bin")};
    setup.ownEnvironment = true;
    setup.discardOutput = true;
    if (!readyReader.valid() || !sway_.Start(words, setup)) {
      return Fail(error, "sway could not be started");
    }
    std::string said;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         said.find('\n') == std::string::npos;) {
      if (!Alive()) return Fail(error, "sway ended as it started\n" + Log());
      if (std::chrono::steady_clock::now() > deadline) {
        return Fail(error, "sway did not come up in 30 s\n" + Log());
      }
      // A short period, as sway may also end without a word.
      pollfd wait = {readyReader.get(), POLLIN, 0};
      if (poll(&wait, 1, 100) <= 0) continue;
      char buffer[512];
      const ssize_t got = read(readyReader.get(), buffer, sizeof buffer);
      if (got <= 0) return Fail(error, "sway's start command said nothing\n" + Log());
      said.append(buffer, static_cast<std::size_t>(got));
    }
    std::istringstream(said) >> ipc_ >> display_;
    uid_ = uid;
    gid_ = gid;
    // Window events wake Focus as windows come and go. The tick sway sends at once to a new
    // subscriber tells that none will be missed from here on.
    bool following = events_.Start(
        {swaymsg_, "-s", ipc_, "-r", "-m", "-t", "subscribe", R"(["window","tick"])"});
    for (std::string line; following && line.find("\"first\"") == std::string::npos;) {
      line = events_.NextLine(std::chrono::seconds(20));
      following = !line.empty();
    }
    if (!following) {
      return Fail(error, "sway's window events could not be followed\n" + events_.Errors() + Log());
    }
    return true;
  }

  bool Alive() {
    return sway_.Running() && sway_.WaitForExit(std::chrono::milliseconds(0)) ==
                                  jstesting::ChildProcess::kStillRunning;
  }

  // What a client of the test's own (jskeys) needs to reach this sway.
  std::vector<std::string> ClientEnvironment() const {
    return {"XDG_RUNTIME_DIR=" + Path("run"), "WAYLAND_DISPLAY=" + display_};
  }

  // A sway command through swaymsg; fails, with sway's answer, when sway did not carry it out.
  ::testing::AssertionResult Message(const std::string& command) {
    jstesting::ChildProcess swaymsg;
    if (ipc_.empty() || !swaymsg.Start({swaymsg_, "-r", "-s", ipc_, command})) {
      return ::testing::AssertionFailure() << "no swaymsg for `" << command << "`";
    }
    const std::string answer = swaymsg.RestOfOutput(std::chrono::seconds(20));
    if (swaymsg.WaitForExit(std::chrono::seconds(20)) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "sway did not carry out `" << command << "`: " << answer << swaymsg.Errors();
  }

  // Starts a client (a shell command line, run as sway's user, in the session's directory);
  // its process id is kept so that it is surely ended with the session, and its standard
  // output and error go to a file of its own, shown by Log. A program or file of the build
  // tree, which sway's user may not reach, is to be copied to Path(name) first.
  ::testing::AssertionResult Exec(const std::string& command) {
    const std::string log = Path("client-" + std::to_string(++made_) + ".log");
    clients_.push_back({command, log});
    // sway reads "$$" as "$"; "&&", as ";" would end sway's command. A redirection in `command`
    // still wins over the client's log.
    return Message("exec echo $$$$ >> " + Path("pids") + " && exec >> " + log + " 2>&1 && exec " +
                   command);
  }

  // Focuses the window of that app_id, waiting up to `timeout` for it to appear; what the
  // clients and sway said when it does not. A command after it makes sure sway has flushed
  // what it told its clients about the focus.
  ::testing::AssertionResult Focus(const std::string& appId,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const ::testing::AssertionResult focused = Message("[app_id=\"" + appId + "\"] focus");
      if (focused) break;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        return ::testing::AssertionFailure()
               << "no window of app_id \"" << appId << "\" came in " << timeout.count() << " ms; "
               << focused.message() << "\n"
               << Log();
      }
      if (events_.NextLine(left).empty() && events_.WaitForExit(std::chrono::milliseconds(0)) !=
                                                jstesting::ChildProcess::kStillRunning) {
        return ::testing::AssertionFailure() << "sway's window events ended\n" << Log();
      }
    }
    return Message("nop");
  }

  // Starts wev, focuses it and returns its events; null with `error` set when it does not come
  // up or is not installed.
  std::unique_ptr<WevLog> StartWev(std::string& error) {
    if (FindProgram("wev").empty()) {
      error = "wev is not installed (Debian package wev)";
      return nullptr;
    }
    const std::string fifo = Path("wev-" + std::to_string(++made_) + ".fifo");
    if (mkfifo(fifo.c_str(), 0600) != 0 || chown(fifo.c_str(), uid_, gid_) != 0) {
      error = "cannot make " + fifo;
      return nullptr;
    }
    // Opened for reading first, so that wev's shell can open it for writing without waiting.
    jsposix::UniqueFd reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!reader.valid()) {
      error = "cannot read " + fifo;
      return nullptr;
    }
    ::testing::AssertionResult up = Exec("stdbuf -oL wev -f wl_keyboard -f wl_pointer > " + fifo);
    if (up) up = Focus("wev");
    if (!up) {
      error = std::string("wev did not come up: ") + up.message();
      return nullptr;
    }
    return std::make_unique<WevLog>(std::move(reader));
  }

  // A file in the session's directory, which clients started by sway may write.
  std::string Path(const std::string& name) const { return dir_ ? *dir_ / name : name; }

  // What the clients started by Exec wrote, and the end of sway's log.
  std::string Log() const {
    std::string text;
    for (const auto& [command, log] : clients_) {
      text += "--- client `" + command + "`:\n" + ReadAll(log);
    }
    std::string sway = sway_.Errors();
    std::size_t from = sway.size();
    for (int lines = 0; from > 0 && lines <= 60; --from) lines += sway[from - 1] == '\n';
    return text + "--- sway's log" + (from > 0 ? " (its end)" : "") + ":\n" + sway.substr(from);
  }

  // Closes every client's window, waits until the clients have ended, and forgets them; one
  // still there after 10 s is killed.
  void EndClients() {
    std::vector<pid_t> clients, theirs;
    std::ifstream pids(Path("pids"));
    for (pid_t pid = 0; dir_ && pids >> pid;) clients.push_back(pid);
    // What a client started (a terminal's shell) is ours to reap once the client has gone.
    for (const pid_t pid : clients) AddDescendants(pid, theirs);
    const bool closing = Alive() && Message(kEveryWindow + " kill");
    if (closing) {
      // Until no window is left; woken as each one closes.
      for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
           Message(kEveryWindow + " nop");) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || events_.NextLine(left).empty()) break;
      }
    }
    // Without a window, or without sway, a client would not end by itself.
    const auto grace = closing ? std::chrono::seconds(10) : std::chrono::seconds(0);
    for (const pid_t pid : clients) Reap(pid, grace);
    for (const pid_t pid : theirs) Reap(pid, grace);
    if (dir_) std::ofstream(Path("pids"), std::ios::trunc);
    clients_.clear();
  }

  // Holds sway still (SIGSTOP), or lets it go on: a compositor too busy to read a client.
  void Hold(bool still) { sway_.Signal(still ? SIGSTOP : SIGCONT); }

  // sway's IPC socket, for a test that sends commands faster than swaymsg starts.
  const std::string& IpcSocket() const { return ipc_; }

  // The clients go first: wev, for one, spins when its compositor is gone instead of ending.
  // They are ours to reap (see Start), so none is left behind, not even as a zombie. The next
  // Start begins a new sway.
  void Stop() {
    EndClients();
    if (Alive()) Message("exit");
    if (sway_.Running() &&
        sway_.WaitForExit(std::chrono::seconds(5)) == jstesting::ChildProcess::kStillRunning) {
      sway_.Stop(SIGKILL);
    }
    if (events_.Running()) events_.Stop(SIGKILL);
    ipc_.clear();
    display_.clear();
    dir_.reset();
  }

 private:
  static bool Fail(std::string& error, const std::string& why) {
    error = why;
    return false;
  }

  // Every client of ours names its windows (foot and wev do).
  inline static const std::string kEveryWindow = "[app_id=\".*\"]";

  struct Client {
    std::string command, log;
  };

  std::unique_ptr<jstesting::TempDir> dir_;  // first: gone after everything that uses it
  std::string sway_path_, swaymsg_;
  std::string ipc_, display_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  std::vector<Client> clients_;
  unsigned made_ = 0;  // names the clients' files, never twice in a session
  jstesting::ChildProcess sway_;
  jstesting::ChildProcess events_;  // swaymsg following the window events
};

}  // namespace jskeys_test
