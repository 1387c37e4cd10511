#pragma once
// The session bus connection (sd-bus) and the calls made on it: every call asynchronous, with
// a bounded wait, so that the event loop never waits on a player.

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace jskeys {

struct BusUnref {
  // Closing never waits for the bus daemon to take what is left: Finish gave it its time.
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;
// Freeing a slot cancels its callback: what owns the slot owns the callback's user data.
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

inline constexpr const char* kMprisPrefix = "org.mpris.MediaPlayer2.";
inline constexpr const char* kMprisPath = "/org/mpris/MediaPlayer2";
inline constexpr const char* kMprisRoot = "org.mpris.MediaPlayer2";
inline constexpr const char* kMprisPlayer = "org.mpris.MediaPlayer2.Player";
inline constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

// How long a player may take to answer before it counts as busy or hung.
inline constexpr std::chrono::milliseconds kCallPatience{2000};

// The session bus of DBUS_SESSION_BUS_ADDRESS (or the user's own); null and `error` set when
// there is none.
BusPtr OpenSessionBus(std::string& error);

// A method call to `destination`, built and ready for its arguments; null when sd-bus refuses.
MessagePtr NewCall(sd_bus* bus, const std::string& destination, const char* path,
                   const char* interface, const char* member);
// Sends `call`, and `reply` is called with the answer or, past kCallPatience, with a timeout
// error. The slot owns the wait: freeing it cancels the callback.
SlotPtr CallAsync(sd_bus* bus, sd_bus_message* call, sd_bus_message_handler_t reply,
                  void* userdata);

// Walks an a{sv} of properties: `take` gets each name with the message at its variant, and
// must read the variant or leave it (then it is skipped). False when the message is not one.
template <typename Take>
bool ReadProperties(sd_bus_message* message, Take take) {
  if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) return false;
  while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
    const char* name = nullptr;
    if (sd_bus_message_read(message, "s", &name) < 0) return false;
    if (!take(std::string(name), message)) sd_bus_message_skip(message, "v");
    if (sd_bus_message_exit_container(message) < 0) return false;
  }
  return sd_bus_message_exit_container(message) >= 0;
}

// The variant at `message` as a string or a double; nullopt (and the variant left unread)
// when it holds something else.
std::optional<std::string> ReadStringVariant(sd_bus_message* message);
std::optional<double> ReadDoubleVariant(sd_bus_message* message);
std::optional<std::int64_t> ReadInt64Variant(sd_bus_message* message);

// sd-bus's next deadline (a call's wait, its own work) on the steady clock; none: nullopt.
std::optional<std::chrono::steady_clock::time_point> BusDeadline(sd_bus* bus);

}  // namespace jskeys
