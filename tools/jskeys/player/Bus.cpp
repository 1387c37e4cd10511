#include "Bus.h"


#include <cstring>

namespace jskeys {

BusPtr OpenSessionBus(std::string& error) {
  sd_bus* bus = nullptr;
  const int result = sd_bus_open_user(&bus);
  if (result < 0) {
    error = std::strerror(-result);
    return nullptr;
  }
  return BusPtr(bus);
}

MessagePtr NewCall(sd_bus* bus, const std::string& destination, const char* path,
                   const char* interface, const char* member) {
  sd_bus_message* call = nullptr;
  if (sd_bus_message_new_method_call(bus, &call, destination.c_str(), path, interface, member) <
      0) {
    return nullptr;
  }
  return MessagePtr(call);
}

SlotPtr CallAsync(sd_bus* bus, sd_bus_message* call, sd_bus_message_handler_t reply,
                  void* userdata) {
  sd_bus_slot* slot = nullptr;
  const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(kCallPatience);
  if (sd_bus_call_async(bus, &slot, call, reply, userdata, usec.count()) < 0) return nullptr;
  return SlotPtr(slot);
}

namespace {

template <typename Value>
std::optional<Value> ReadVariant(sd_bus_message* message, char type, const char* contents) {
  if (sd_bus_message_enter_container(message, 'v', contents) <= 0) return std::nullopt;
  Value value{};
  const char types[2] = {type, '\0'};
  if (sd_bus_message_read(message, types, &value) < 0) return std::nullopt;
  if (sd_bus_message_exit_container(message) < 0) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> ReadStringVariant(sd_bus_message* message) {
  const auto text = ReadVariant<const char*>(message, 's', "s");
  if (!text) return std::nullopt;
  return std::string(*text);
}

std::optional<double> ReadDoubleVariant(sd_bus_message* message) {
  return ReadVariant<double>(message, 'd', "d");
}

std::optional<std::int64_t> ReadInt64Variant(sd_bus_message* message) {
  return ReadVariant<std::int64_t>(message, 'x', "x");
}

std::optional<std::chrono::steady_clock::time_point> BusDeadline(sd_bus* bus) {
  std::uint64_t usec = 0;
  if (sd_bus_get_timeout(bus, &usec) < 0 || usec == UINT64_MAX) return std::nullopt;
  // sd-bus counts on CLOCK_MONOTONIC, which is the steady clock here.
  return std::chrono::steady_clock::time_point(std::chrono::microseconds(usec));
}

}  // namespace jskeys
