#pragma once
// A session bus of the test's own (dbus-daemon in a temporary folder) with mpv on it, playing a
// test picture through its MPRIS plugin; and a connection of the test's own to read the
// player's properties. DBUS_SESSION_BUS_ADDRESS points at the bus while the session lives, so
// that what the test makes finds it.

#include <signal.h>
#include <stdlib.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "TempDir.h"

namespace jskeys_test {

using namespace std::chrono_literals;

inline constexpr const char* kMpvBusName = "org.mpris.MediaPlayer2.mpv";
inline constexpr const char* kMpvPlugin = "/usr/lib/mpv-mpris/mpris.so";

class PlayerSession {
 public:
  PlayerSession() = default;
  ~PlayerSession() {
    mpv_.reset();
    sd_bus_message_unref(lastReply_);
    if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
    daemon_.reset();
    if (hadAddress_) {
      ::setenv("DBUS_SESSION_BUS_ADDRESS", oldAddress_.c_str(), 1);
    } else {
      ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
  }
  PlayerSession(const PlayerSession&) = delete;
  PlayerSession& operator=(const PlayerSession&) = delete;

  // The bus and the test's connection to it; false and `why` when either fails.
  bool Start(std::string& why) {
    const std::string address = "unix:path=" + dir_ / "bus";
    if (!daemon_.emplace().Start({"/usr/bin/dbus-daemon", "--session", "--address=" + address, "--nofork",
                        "--print-address"})) {
      why = "dbus-daemon did not start";
      return false;
    }
    if (daemon_->NextLine(20s).empty()) {
      why = "dbus-daemon gave no address: " + daemon_->Errors();
      return false;
    }
    if (const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
      hadAddress_ = true;
      oldAddress_ = old;
    }
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    if (sd_bus_open_user(&bus_) < 0) {
      why = "cannot connect to the test's bus at " + address;
      return false;
    }
    sd_bus_set_method_call_timeout(bus_, 10'000'000);
    return true;
  }

  // A clip of `seconds` of test picture at 25 frames a second, every frame a key frame, so that
  // seeks land on the frame asked for (mpv cannot seek in a picture it makes on the fly).
  bool MakeClip(std::string& why, int seconds = 300) {
    jstesting::ChildProcess encoder;
    encoder.Start({"/usr/bin/mpv", "--no-config", "--really-quiet",
                   "av://lavfi:testsrc=duration=" + std::to_string(seconds) +
                       ":rate=25:size=160x120",
                   "--o=" + clip_, "--of=matroska", "--ovc=mpeg4", "--ovcopts=g=1,qscale=10"},
                  {.discardOutput = true});
    if (encoder.WaitForExit(120s) != 0) {
      why = "mpv could not make the test clip: " + encoder.Errors();
      return false;
    }
    return true;
  }

  // mpv playing the clip, once its player is on the bus and says it plays (it comes on the bus
  // stopped, while the clip opens). Every seek lands on the frame asked for (--hr-seek), not
  // on the clip's index points.
  bool StartMpv(std::string& why) {
    mpv_.reset();
    if (!mpv_.emplace().Start({"/usr/bin/mpv", "--no-config", std::string("--script=") + kMpvPlugin,
                     "--vo=null", "--ao=null", "--idle=no", "--keep-open=yes", "--hr-seek=yes",
                     "--really-quiet", clip_},
                    {.environment = {"DBUS_SESSION_BUS_ADDRESS=" + Address()},
                     .discardOutput = true})) {
      why = "mpv did not start";
      return false;
    }
    if (!WaitForName(kMpvBusName, 30s)) {
      why = "mpv's player never came on the bus; mpv said: " + mpv_->Errors();
      return false;
    }
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (Status() != "Playing") {
      if (std::chrono::steady_clock::now() > end) {
        why = "mpv never played the clip; it said: " + mpv_->Errors();
        return false;
      }
      std::this_thread::sleep_for(50ms);
    }
    return true;
  }
  void StopMpv() {
    if (mpv_) mpv_->Stop(SIGTERM);
    WaitForName(kMpvBusName, 10s, false);
  }
  jstesting::ChildProcess& Mpv() { return *mpv_; }
  // The bus daemon ends (as a session that ends takes it).
  void StopBus() { daemon_.reset(); }

  std::string Address() const { return "unix:path=" + dir_ / "bus"; }
  sd_bus* Bus() const { return bus_; }

  bool WaitForName(const std::string& name, std::chrono::milliseconds timeout,
                   bool there = true) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
      if (HasName(name) == there) return true;
      std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < end);
    return false;
  }
  bool HasName(const std::string& name) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int result =
        sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                           name.c_str());
    int has = 0;
    if (result >= 0) sd_bus_message_read(reply, "b", &has);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return has != 0;
  }

  // A property of the player `busName` (org.mpris.MediaPlayer2.Player); nullopt when it does not
  // answer.
  std::optional<double> Rate(const char* busName = kMpvBusName) {
    double rate = 0;
    return Get(busName, "Rate", "d", &rate) ? std::optional(rate) : std::nullopt;
  }
  std::optional<std::int64_t> Position(const char* busName = kMpvBusName) {
    std::int64_t position = 0;
    return Get(busName, "Position", "x", &position) ? std::optional(position) : std::nullopt;
  }
  std::optional<std::string> Status(const char* busName = kMpvBusName) {
    const char* status = nullptr;
    return Get(busName, "PlaybackStatus", "s", &status) ? std::optional<std::string>(status)
                                                         : std::nullopt;
  }

  // mpv at `atLeast` microseconds or later, settled there: room to go back in. A busy mpv may
  // drop a seek that comes as it pauses, so it is asked again until it is there.
  bool MoveTo(std::int64_t atLeast, std::chrono::milliseconds timeout = 30s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      const std::optional<std::int64_t> at = SettledPosition();
      if (at && *at >= atLeast) return true;
      sd_bus_call_method(bus_, kMpvBusName, "/org/mpris/MediaPlayer2",
                         "org.mpris.MediaPlayer2.Player", "Seek", nullptr, nullptr, "x",
                         atLeast - at.value_or(0) + 1'000'000);
    }
    return false;
  }

  // The position once the player has stood still at it for a while (a seek done).
  std::optional<std::int64_t> SettledPosition(std::chrono::milliseconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::optional<std::int64_t> last = Position();
    int same = 0;
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(100ms);
      const auto now = Position();
      same = now && now == last ? same + 1 : 0;
      if (same >= 3) return now;
      last = now;
    }
    return std::nullopt;
  }

 private:
  // A text read points into the reply, which is kept until the next read.
  template <typename Value>
  bool Get(const char* busName, const char* property, const char* type, Value* value) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message_unref(lastReply_);
    lastReply_ = nullptr;
    const bool got = sd_bus_get_property(bus_, busName, "/org/mpris/MediaPlayer2",
                                         "org.mpris.MediaPlayer2.Player", property, &error,
                                         &lastReply_, type) >= 0 &&
                     sd_bus_message_read(lastReply_, type, value) >= 0;
    sd_bus_error_free(&error);
    return got;
  }

  jstesting::TempDir dir_;
  std::string clip_ = dir_ / "clip.mkv";
  std::optional<jstesting::ChildProcess> daemon_;
  std::optional<jstesting::ChildProcess> mpv_;
  sd_bus* bus_ = nullptr;
  sd_bus_message* lastReply_ = nullptr;  // holds the text a read points into
  bool hadAddress_ = false;
  std::string oldAddress_;
};

}  // namespace jskeys_test
