#pragma once
// The map reader, private to jskeys_core: it walks the parsed document and stops at the first
// fault with its place in the file. MapSchema.cpp reads the document, its sections, keys, jog and
// shuttle; MapActions.cpp the player's and MIDI actions, shuttle sequences and [midi] connect.

#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Faults in the file come back as values; nothing is thrown through the map reader.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "KeyMap.h"
#include "MapPatterns.h"

namespace jskeys {

class MapReader {
 public:
  MapReader(const std::string& file, MapError& error, const std::atomic<bool>* abandon)
      : file_(file), error_(error), abandon_(abandon) {}

  bool Abandoned() const { return abandon_ != nullptr && abandon_->load(); }

  // Keeps `reason` at `where` in the error; always false.
  bool Fail(const toml::source_region& where, std::string reason);

  bool ReadMap(const toml::table& root, KeyMap& map);

 private:
  // Where an action is bound: each takes its own of the player's and MIDI actions.
  enum class Place : std::uint8_t { kKey, kJog, kShuttle };

  // "unknown field 'within.field' (expected ...)"; `within` is the table's name, or empty.
  bool FailUnknown(const toml::key& field, std::string_view expected, std::string_view within = {});

  // MapSchema.cpp
  bool ReadModifiers(const toml::node& node, KeyMap& map);
  bool ReadSection(const toml::table& table, Section& section, const KeyMap& map, bool application);
  bool ReadPattern(const toml::node& node, const std::string& pattern,
                   std::shared_ptr<const re2::RE2>& compiled, const char* everything);
  bool ReadCombo(const toml::node& node, KeyCombo& combo);
  bool ReadKeys(const toml::node& node, const char* tableName,
                std::array<std::optional<KeyBinding>, kKeyCount>& keys, const KeyMap& map);
  // A key's or a jog step's action: a combination (for a key also { send, hold }), or a
  // player's or a MIDI action.
  bool ReadBinding(const toml::node& value, Place place, KeyBinding& binding);
  bool ReadJog(const toml::node& node, Section& section);
  bool ReadShuttle(const toml::node& node, Section& section);
  bool ReadRepeat(const toml::node& value, const toml::table& detail, ShuttleRepeat& repeat);

  // MapActions.cpp
  // Refuses a field of `table` that is not one of `known`.
  bool OnlyFields(const toml::table& table, std::initializer_list<std::string_view> known);
  // A whole number from `low` to `high`; left out: `fallback`, or refused without one.
  bool ReadNumber(const toml::table& table, std::string_view name, const char* what,
                  std::int64_t low, std::int64_t high, std::optional<std::int64_t> fallback,
                  std::int64_t& number);
  // A held player's or MIDI action would have nothing to let go of, or a note-off already.
  bool RefuseHold(const toml::table& table);
  // A section's mpris: the player its player actions go to.
  bool ReadMpris(const toml::node& value, Section& section);
  bool ReadPlayer(const toml::table& table, Place place, PlayerCommand& command);
  bool ReadMidi(const toml::table& table, Place place, MidiMessage& message,
                std::optional<std::uint8_t>& up);
  // [midi] connect: the JACK ports the MIDI port goes to, found by pattern.
  bool ReadMidiPorts(const toml::node& node, KeyMap& map);
  bool ReadSequence(const toml::table& table, std::vector<KeyCombo>& sequence);

  const std::string& file_;
  MapError& error_;
  const std::atomic<bool>* abandon_;
  PatternBudget patterns_;
  bool usesPlayer_ = false;
  bool usesMidi_ = false;
};

}  // namespace jskeys
