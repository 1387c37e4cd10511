#pragma once
// Reads the map again on a thread of its own, so that keys keep going out by the map in force
// while a new one is parsed and its patterns compiled. One read at a time: a change told while
// one is under way is read once it is done. The reloader owns its thread; its end abandons a
// read under way, which gives up before its next pattern, and waits for it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "EventLoop.h"
#include "KeyMap.h"
#include "Platform.h"

namespace jskeys {

// A map read again, with the modifier masks to use with it and where it came from.
struct FreshMap {
  KeyMap map;
  std::uint32_t sModifiers = 0;
  std::uint32_t cModifiers = 0;
  std::string source;  // the path, or "built-in"
};

// Makes the new map, or says why it cannot and gives false. Runs on the reloader's thread;
// gives up soon once `abandon` is set.
using MapRead = std::function<bool(FreshMap& fresh, const std::atomic<bool>& abandon)>;

class MapReloader {
 public:
  explicit MapReloader(MapRead read);
  ~MapReloader();
  MapReloader(const MapReloader&) = delete;
  MapReloader& operator=(const MapReloader&) = delete;

  // A read is due: starts one, or has one follow the read under way.
  void Request();
  // Ready while a read is done and not yet taken (for the event loop).
  jsprogram::WaitHandle Handle() const { return handle_; }
  // The map of a finished read, when it was good; starts the read that was asked for meanwhile.
  // Never waits for a read under way.
  std::optional<FreshMap> Take();
  // A read is under way, or done and not yet taken.
  bool Busy() const { return busy_; }

 private:
  void Start();

  MapRead read_;
  js::sys::Event done_;
  jsprogram::WaitHandle handle_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> abandon_{false};
  bool busy_ = false;
  bool again_ = false;  // a change was told while a read was under way
  // The read's result: written by the thread before it sets `finished_`, read after the join.
  bool good_ = false;
  FreshMap fresh_;
  std::thread thread_;  // last: it goes first, while what it uses is still there
};

}  // namespace jskeys
