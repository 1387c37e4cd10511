#pragma once
// Turns changes of the controller state into actions, by the map's section for the
// focused application. Pure logic: the caller passes the time and collects the actions, so it
// runs the same under a test's clock as under the real one.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Action.h"
#include "KeyMap.h"
#include "SerialJS.h"

namespace jskeys {

using Clock = std::chrono::steady_clock;

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
  // Releases every held combination and note, stops the repeat, and lets a player the ring set a
  // rate for rest: for a lost line or the end.
  void ReleaseAll(std::vector<Action>& out);
  // Changes were lost: makes what is held and repeated agree with the controller's state as it
  // stands. Held combinations whose key is up are released; the repeat follows the ring's
  // position. A key whose press was lost is not pressed now: it was not seen going down.
  void Resync(const JogShuttleState& state, Clock::time_point now, std::vector<Action>& out);
  // Picks the section for the focused window's class and title; true when it changed. Keys
  // already held are released as they were pressed, whatever the new section says. A turned
  // ring repeats what the new section binds at its position, from `now` if nothing did before;
  // a rate, a controller's value or a sequence the new section binds there otherwise goes out.
  bool SetWindow(std::string_view windowClass, std::string_view title, Clock::time_point now,
                 std::vector<Action>& out);
  // Takes another map (the map file changed). What the new map binds the same stays: a held key
  // whose binding is unchanged stays held (others are released), and the ring goes on repeating.
  void SetMap(const KeyMap& map, Clock::time_point now, std::vector<Action>& out);

 private:
  void KeyPressed(const JogShuttleChange& change, std::vector<Action>& out);
  void KeyReleased(std::size_t key, std::vector<Action>& out);
  // What a key going down or a jog step sends, and what a held key sends coming up.
  void Down(const KeyBinding& binding, std::vector<Action>& out) const;
  static void Up(const KeyBinding& binding, std::vector<Action>& out);
  void ShuttleChange(std::int32_t position, Clock::time_point now, std::vector<Action>& out);
  // What the ring's binding sends on reaching its position.
  void Reached(Clock::time_point now, std::vector<Action>& out);
  // A rate the ring set goes back: the player pauses at rate 1.
  void Rest(std::vector<Action>& out);
  // The ring's binding in the section in force. A repeat's rate counts from the last stroke, or
  // starts at `now` when nothing repeated.
  void Rebind(Clock::time_point now, std::vector<Action>& out);

  struct Held {
    KeyBinding binding;    // a held combination, a note, or a controller with a value for up
    std::size_t keyClass;  // the set the key was pressed in
  };

  const KeyMap* map_;
  const Section* section_;
  std::string windowClass_, title_;  // the focused window's, to pick the section of a new map
  std::int32_t shuttle_ = 0;
  std::array<std::optional<Held>, kKeyCount> held_{};  // what each key holds, by key number
  // The binding where the ring is, as it was when it came into force: kept, not pointed at, as a
  // new map replaces the old.
  std::optional<ShuttleRepeat> ring_;
  std::optional<Clock::time_point> nextDue_;  // ring_'s next repeated stroke
  std::optional<Clock::time_point> lastStroke_;
  // The ring set a player's rate, not yet taken back at rest; and the player it went to.
  bool rateInForce_ = false;
  std::string rateTo_;
};

}  // namespace jskeys
