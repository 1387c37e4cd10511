#pragma once
// What the translator sends: one type with three kinds. Keys go to the key backend in force, a
// player's commands to the player (MPRIS), MIDI messages to the MIDI port (JACK).

#include <cstdint>
#include <string>

#include "KeyNames.h"

namespace jskeys {

// A command to a media player. Seeks and rates are relative to what it plays now.
struct PlayerCommand {
  enum class Kind : std::uint8_t {
    kPlayPause,
    kPlay,
    kPause,
    kStop,
    kNext,
    kPrevious,
    kSeek,  // by `ms`, negative: back
    kRate,  // play at `rate` (non-zero, -32..32); backwards by steady seeks where the player
            // takes no negative rate
    kRest,  // the ring came back to rest: pause, and the rate back to 1
  };
  Kind kind = Kind::kPlayPause;
  std::int32_t ms = 0;
  double rate = 0;

  bool operator==(const PlayerCommand&) const = default;
};

// One MIDI channel message. `channel` counts from 0 here (the map's 1 is 0).
struct MidiMessage {
  enum class Kind : std::uint8_t { kNoteOn, kNoteOff, kControl };
  Kind kind = Kind::kNoteOn;
  std::uint8_t channel = 0;  // 0..15
  std::uint8_t number = 0;   // the note or the controller, 0..127
  std::uint8_t value = 0;    // the velocity or the controller's value, 0..127

  bool operator==(const MidiMessage&) const = default;
  // The three bytes on the wire: status (kind and channel), number, value.
  std::uint8_t Status() const;
};

struct Action {
  enum class Kind : std::uint8_t { kTap, kPress, kRelease, kPlayer, kMidi };
  Kind kind = Kind::kTap;
  KeyCombo combo;  // kTap, kPress, kRelease
  PlayerCommand player;
  // The player the section names (`mpris = "NAME"`); empty: the one the focus or the last
  // playing picks.
  std::string playerName;
  MidiMessage midi;

  static Action Keys(Kind kind, const KeyCombo& combo) {
    Action action;
    action.kind = kind;
    action.combo = combo;
    return action;
  }
  static Action Player(const PlayerCommand& command, const std::string& name) {
    Action action;
    action.kind = Kind::kPlayer;
    action.player = command;
    action.playerName = name;
    return action;
  }
  static Action Midi(const MidiMessage& message) {
    Action action;
    action.kind = Kind::kMidi;
    action.midi = message;
    return action;
  }

  bool IsKeys() const { return kind <= Kind::kRelease; }
  bool operator==(const Action&) const = default;
  // "tap ctrl+z", "press shift", "player seek -40 ms", "player rate -2 (mpv)",
  // "midi cc 1 = 65 ch 1", "midi note_on 60 127 ch 10"
  std::string Text() const;
};

}  // namespace jskeys
