#pragma once
// The ways actions go out, as the event loop sees them: the key backend in force, and a player
// (MPRIS) and a MIDI port (JACK), each made when a map first has actions for it. A dry run
// prints every kind through the key output.

#include <memory>
#include <optional>
#include <vector>

#include "Output.h"

namespace jskeys {

using MakeActionOutput = std::unique_ptr<ActionOutput> (*)();

class OutputSet {
 public:
  // Null makers: the platform has no such output, and the map reader refuses its actions.
  OutputSet(KeyOutput& keys, MakeActionOutput makePlayer, MakeActionOutput makeMidi);

  // The map in force, at start and at each reload: makes the outputs it needs, and tells each.
  void SetMap(const KeyMap& map);
  void Send(const Action& action);
  void Flush();
  void Focus(const FocusedWindow& window);
  // The earliest work of any output's own, and that work once due.
  std::optional<Clock::time_point> Due() const;
  void Tick(Clock::time_point now);
  // Every output's connection for the loop, with the call for when it is ready.
  template <typename Watch>
  void WatchEach(Watch&& watch) {
    for (ActionOutput* output : all_) {
      watch(output->Handle(), [output] { output->Dispatch(); });
    }
  }
  // The end: every output sends what it still holds, then lets go.
  void Finish();

  KeyOutput& Keys() { return keys_; }

 private:
  KeyOutput& keys_;
  MakeActionOutput makePlayer_, makeMidi_;
  std::unique_ptr<ActionOutput> player_, midi_;
  std::vector<ActionOutput*> all_;  // keys first, then what was made
};

}  // namespace jskeys
