#pragma once
// Turns changes of the controller state into key actions, by the map's section for the
// focused application. Pure logic: the caller passes the time and collects the actions, so it
// runs the same under a test's clock as under the real one.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KeyMap.h"
#include "SerialJS.h"

namespace jskeys {

using Clock = std::chrono::steady_clock;

struct Action {
  enum class Kind { kTap, kPress, kRelease };
  Kind kind;
  KeyCombo combo;

  bool operator==(const Action&) const = default;
  std::string Text() const;  // "tap ctrl+z", "press shift", "release shift"
};

class Translator {
 public:
  explicit Translator(const KeyMap& map);  // the map must outlive the translator

  // Holds nothing, and the shuttle rests: for a link just opened. What the controller already
  // holds was not pressed by anyone now.
  void Start();
  // The actions for one change of the controller (SerialJS::NextChange), taken in order: a key
  // pressed and released within one read taps as any other.
  void Apply(const JogShuttleChange& change, Clock::time_point now, std::vector<Action>& out);
  // The shuttle's repeated strokes that are due at `now`.
  void Tick(Clock::time_point now, std::vector<Action>& out);
  // When the next repeated stroke is due; none while the shuttle rests.
  std::optional<Clock::time_point> NextDue() const { return nextDue_; }
  // Releases every held combination and stops the repeat: for a lost line or the end.
  void ReleaseAll(std::vector<Action>& out);
  // Picks the section for the focused window's class and title; true when it changed. Keys
  // already held are released as they were pressed, whatever the new section says.
  bool SetWindow(std::string_view windowClass, std::string_view title = {});
  // Takes another map (the map file changed); what it holds must have been released first.
  void SetMap(const KeyMap& map);
  const Section& CurrentSection() const { return *section_; }

 private:
  void KeyPressed(const JogShuttleChange& change, std::vector<Action>& out);
  void KeyReleased(std::size_t key, std::vector<Action>& out);
  void ShuttleChange(std::int32_t position, Clock::time_point now, std::vector<Action>& out);

  const KeyMap* map_;
  const Section* section_;
  std::int32_t shuttle_ = 0;
  std::array<std::optional<KeyCombo>, kKeyCount> held_{};  // combos held, by key number
  std::optional<ShuttleRepeat> repeat_;
  std::optional<Clock::time_point> nextDue_;
  std::optional<Clock::time_point> lastStroke_;
};

}  // namespace jskeys
