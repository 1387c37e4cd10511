#pragma once
// A media player of the test's own on the session bus, org.mpris.MediaPlayer2.NAME: it records
// every call made to it, takes rates down to -32, and plays or pauses as told. It serves its
// own connection on a thread of its own, so a test that drives an output meanwhile is not
// needed for it to answer.

#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace jskeys_test {

class FakePlayer {
 public:
  // `desktopEntry`: the name it gives itself, that a window's class is matched with.
  FakePlayer(const std::string& name, const std::string& desktopEntry)
      : busName_("org.mpris.MediaPlayer2." + name), desktopEntry_(desktopEntry) {}
  ~FakePlayer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sd_bus_slot_unref(rootSlot_);
    sd_bus_slot_unref(playerSlot_);
    sd_bus_flush_close_unref(bus_);
  }
  FakePlayer(const FakePlayer&) = delete;
  FakePlayer& operator=(const FakePlayer&) = delete;

  // On the bus of DBUS_SESSION_BUS_ADDRESS, its name taken.
  bool Start() {
    if (sd_bus_open_user(&bus_) < 0) return false;
    if (sd_bus_add_object_vtable(bus_, &rootSlot_, "/org/mpris/MediaPlayer2",
                                 "org.mpris.MediaPlayer2", kRoot, this) < 0 ||
        sd_bus_add_object_vtable(bus_, &playerSlot_, "/org/mpris/MediaPlayer2",
                                 "org.mpris.MediaPlayer2.Player", kPlayer, this) < 0 ||
        sd_bus_request_name(bus_, busName_.c_str(), 0) < 0) {
      return false;
    }
    thread_ = std::thread([this] {
      while (!stop_) {
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        sd_bus_wait(bus_, 50'000);
      }
    });
    return true;
  }

  // The calls so far: "Play", "Seek -40000", "Rate -2".
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  // Waits until `count` calls have come.
  std::vector<std::string> WaitForCalls(std::size_t count,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (Calls().size() < count && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Calls();
  }
  // Call number `index` (from 0) and when it came, once it has; nullopt after `timeout`.
  struct Arrival {
    std::string call;
    std::chrono::steady_clock::time_point at;
  };
  std::optional<Arrival> WaitForCall(std::size_t index, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, timeout, [&] { return calls_.size() > index; })) {
      return std::nullopt;
    }
    return Arrival{calls_[index], times_[index]};
  }

 private:
  void Record(const std::string& call) {
    const auto now = std::chrono::steady_clock::now();
    {
      std::lock_guard lock(mutex_);
      calls_.push_back(call);
      times_.push_back(now);
    }
    arrived_.notify_all();
  }
  static int Method(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakePlayer*>(userdata);
    const std::string member = sd_bus_message_get_member(m);
    if (member == "PlayPause" || member == "Play" || member == "Pause" || member == "Stop") {
      const bool playing = member == "Play" || (member == "PlayPause" && !self->playing_);
      if (playing != self->playing_) {
        self->playing_ = playing;
        sd_bus_emit_properties_changed(sd_bus_message_get_bus(m), "/org/mpris/MediaPlayer2",
                                       "org.mpris.MediaPlayer2.Player", "PlaybackStatus",
                                       nullptr);
      }
    }
    self->Record(member);
    return sd_bus_reply_method_return(m, "");
  }
  static int Seek(sd_bus_message* m, void* userdata, sd_bus_error*) {
    std::int64_t offset = 0;
    sd_bus_message_read(m, "x", &offset);
    static_cast<FakePlayer*>(userdata)->Record("Seek " + std::to_string(offset));
    return sd_bus_reply_method_return(m, "");
  }
  static int GetStatus(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                       void* userdata, sd_bus_error*) {
    return sd_bus_message_append(reply, "s",
                                 static_cast<FakePlayer*>(userdata)->playing_ ? "Playing" : "Paused");
  }
  static int GetEntry(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                      void* userdata, sd_bus_error*) {
    return sd_bus_message_append(reply, "s", static_cast<FakePlayer*>(userdata)->desktopEntry_.c_str());
  }
  static int GetMinimumRate(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                            void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "d", -32.0);
  }
  static int GetRate(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                     void* userdata, sd_bus_error*) {
    return sd_bus_message_append(reply, "d", static_cast<FakePlayer*>(userdata)->rate_);
  }
  static int SetRate(sd_bus*, const char*, const char*, const char*, sd_bus_message* value,
                     void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakePlayer*>(userdata);
    const int result = sd_bus_message_read(value, "d", &self->rate_);
    char text[32];
    std::snprintf(text, sizeof text, "Rate %g", self->rate_);
    self->Record(text);
    return result;
  }

  static constexpr sd_bus_vtable kRoot[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("DesktopEntry", "s", &FakePlayer::GetEntry, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_VTABLE_END};
  static constexpr sd_bus_vtable kPlayer[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("PlayPause", "", "", &FakePlayer::Method, 0),
      SD_BUS_METHOD("Play", "", "", &FakePlayer::Method, 0),
      SD_BUS_METHOD("Pause", "", "", &FakePlayer::Method, 0),
      SD_BUS_METHOD("Stop", "", "", &FakePlayer::Method, 0),
      SD_BUS_METHOD("Next", "", "", &FakePlayer::Method, 0),
      SD_BUS_METHOD("Previous", "", "", &FakePlayer::Method, 0),
      SD_BUS_METHOD("Seek", "x", "", &FakePlayer::Seek, 0),
      SD_BUS_PROPERTY("PlaybackStatus", "s", &FakePlayer::GetStatus, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("MinimumRate", "d", &FakePlayer::GetMinimumRate, 0,
                      SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_WRITABLE_PROPERTY("Rate", "d", &FakePlayer::GetRate, &FakePlayer::SetRate, 0, 0),
      SD_BUS_VTABLE_END};

  std::string busName_;
  std::string desktopEntry_;
  // Touched only on the player's own thread, once it runs.
  bool playing_ = false;
  double rate_ = 1;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* rootSlot_ = nullptr;
  sd_bus_slot* playerSlot_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<std::chrono::steady_clock::time_point> times_;  // when each call came
  std::condition_variable arrived_;
};

}  // namespace jskeys_test
