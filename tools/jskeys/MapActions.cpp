// The map's actions beyond key strokes: the player's (MPRIS) and MIDI actions, shuttle
// sequences, a section's player and [midi] connect, with the bounds of what they carry.

#include <algorithm>
#include <cmath>

#include "MapPlatform.h"
#include "MapReader.h"

namespace jskeys {
namespace {

struct PlayerMethod {
  const char* name;
  PlayerCommand::Kind kind;
};
constexpr PlayerMethod kPlayerMethods[] = {{"play_pause", PlayerCommand::Kind::kPlayPause},
                                           {"play", PlayerCommand::Kind::kPlay},
                                           {"pause", PlayerCommand::Kind::kPause},
                                           {"stop", PlayerCommand::Kind::kStop},
                                           {"next", PlayerCommand::Kind::kNext},
                                           {"previous", PlayerCommand::Kind::kPrevious},
                                           {"seek", PlayerCommand::Kind::kSeek},
                                           {"rate", PlayerCommand::Kind::kRate}};
constexpr std::int64_t kMaxSeekMs = 3'600'000;
constexpr std::size_t kMaxPlayerName = 255;

constexpr const char* kConnectList = "'connect' must be a list of patterns, e.g. [\"Ardour\"]";

// "a, b or c"
std::string Listed(std::initializer_list<std::string_view> names) {
  std::string text;
  for (std::size_t i = 0; const std::string_view name : names) {
    if (i++ > 0) text += i == names.size() ? " or " : ", ";
    text += name;
  }
  return text;
}

// A D-Bus name's characters: what MPRIS players are called after "org.mpris.MediaPlayer2.".
bool IsPlayerName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxPlayerName &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
         });
}

}  // namespace

bool MapReader::OnlyFields(const toml::table& table,
                           std::initializer_list<std::string_view> known) {
  for (auto&& [field, value] : table) {
    if (std::find(known.begin(), known.end(), field.str()) == known.end()) {
      return FailUnknown(field, Listed(known));
    }
  }
  return true;
}

bool MapReader::ReadNumber(const toml::table& table, std::string_view name, const char* what,
                           std::int64_t low, std::int64_t high,
                           std::optional<std::int64_t> fallback, std::int64_t& number) {
  const toml::node* node = table.get(name);
  if (!node) {
    if (!fallback) {
      return Fail(table.source(), std::string(what) + " needs '" + std::string(name) + "'");
    }
    number = *fallback;
    return true;
  }
  const std::optional<std::int64_t> value = node->value_exact<std::int64_t>();
  if (!value || *value < low || *value > high) {
    return Fail(node->source(), "'" + std::string(name) + "' must be a whole number from " +
                                    std::to_string(low) + " to " + std::to_string(high));
  }
  number = *value;
  return true;
}

bool MapReader::RefuseHold(const toml::table& table) {
  if (const toml::node* hold = table.get("hold")) {
    return Fail(hold->source(), "only a key combination can be held; leave out 'hold'");
  }
  return true;
}

bool MapReader::ReadMpris(const toml::node& value, Section& section) {
  if (const char* refusal = PlayerActionsRefusal()) return Fail(value.source(), refusal);
  const std::optional<std::string> player = value.value_exact<std::string>();
  if (!player || !IsPlayerName(*player)) {
    return Fail(value.source(),
                "'mpris' must be a player's D-Bus name, e.g. \"mpv\": letters, digits, "
                "'_', '-' and '.', at most 255");
  }
  section.mpris = *player;
  return true;
}

bool MapReader::ReadPlayer(const toml::table& table, Place place, PlayerCommand& command) {
  usesPlayer_ = true;
  const toml::node& method = *table.get("player");
  if (const char* refusal = PlayerActionsRefusal()) return Fail(method.source(), refusal);
  const std::optional<std::string> name = method.value_exact<std::string>();
  const PlayerMethod* found = nullptr;
  for (const PlayerMethod& known : kPlayerMethods) {
    if (name && *name == known.name) found = &known;
  }
  if (!found) {
    return Fail(method.source(),
                "unknown player action (expected play_pause, play, pause, "
                "stop, next, previous, seek or rate)");
  }
  command = PlayerCommand{.kind = found->kind, .ms = 0, .rate = 0};
  using Kind = PlayerCommand::Kind;
  if (place == Place::kJog && found->kind != Kind::kSeek) {
    return Fail(method.source(), "a jog step takes player = \"seek\", ms = N");
  }
  if (place != Place::kShuttle && found->kind == Kind::kRate) {
    return Fail(method.source(), "a rate is for shuttle positions");
  }
  if (!RefuseHold(table)) return false;
  if (found->kind == Kind::kSeek) {
    if (!OnlyFields(table, {"player", "ms"})) return false;
    const toml::node* ms = table.get("ms");
    const std::optional<std::int64_t> value = ms ? ms->value_exact<std::int64_t>() : std::nullopt;
    if (!value || *value == 0 || *value < -kMaxSeekMs || *value > kMaxSeekMs) {
      return Fail(ms ? ms->source() : table.source(),
                  "a seek needs 'ms', a whole number of milliseconds from -3600000 to 3600000, "
                  "not 0");
    }
    command.ms = static_cast<std::int32_t>(*value);
  } else if (found->kind == Kind::kRate) {
    if (!OnlyFields(table, {"player", "rate"})) return false;
    const toml::node* rate = table.get("rate");
    // An integer is a rate as well as a float is.
    const std::optional<double> value = rate ? rate->value<double>() : std::nullopt;
    if (!value || !std::isfinite(*value) || *value == 0 || std::fabs(*value) > kMaxPlayerRate) {
      return Fail(rate ? rate->source() : table.source(),
                  "a rate needs 'rate', a number from -32 to 32, not 0");
    }
    command.rate = *value;
  } else if (!OnlyFields(table, {"player"})) {
    return false;
  }
  return true;
}

bool MapReader::ReadMidi(const toml::table& table, Place place, MidiMessage& message,
                         std::optional<std::uint8_t>& up) {
  usesMidi_ = true;
  const toml::node& kind = *table.get("midi");
  if (const char* refusal = MidiActionsRefusal()) return Fail(kind.source(), refusal);
  const std::optional<std::string> text = kind.value_exact<std::string>();
  if (!text || (*text != "note" && *text != "cc")) {
    return Fail(kind.source(), "unknown MIDI action (expected note or cc)");
  }
  const bool note = *text == "note";
  if (note && place != Place::kKey) {
    return Fail(kind.source(), "a note is for keys; here write midi = \"cc\"");
  }
  if (!RefuseHold(table)) return false;
  std::int64_t number = 0, value = 0, channel = 0;
  if (note) {
    if (!OnlyFields(table, {"midi", "note", "velocity", "channel"}) ||
        !ReadNumber(table, "note", "a note", 0, 127, std::nullopt, number) ||
        !ReadNumber(table, "velocity", "a note", 1, 127, 127, value)) {
      return false;
    }
  } else {
    const bool fields = place == Place::kKey
                            ? OnlyFields(table, {"midi", "cc", "value", "channel", "up"})
                            : OnlyFields(table, {"midi", "cc", "value", "channel"});
    if (!fields || !ReadNumber(table, "cc", "a cc", 0, 127, std::nullopt, number) ||
        !ReadNumber(table, "value", "a cc", 0, 127, std::nullopt, value)) {
      return false;
    }
    if (table.get("up")) {
      std::int64_t upValue = 0;
      if (!ReadNumber(table, "up", "a cc", 0, 127, std::nullopt, upValue)) return false;
      up = static_cast<std::uint8_t>(upValue);
    }
  }
  if (!ReadNumber(table, "channel", "a MIDI action", 1, 16, 1, channel)) return false;
  message = MidiMessage{.kind = note ? MidiMessage::Kind::kNoteOn : MidiMessage::Kind::kControl,
                        .channel = static_cast<std::uint8_t>(channel - 1),
                        .number = static_cast<std::uint8_t>(number),
                        .value = static_cast<std::uint8_t>(value)};
  return true;
}

bool MapReader::ReadMidiPorts(const toml::node& node, KeyMap& map) {
  if (const char* refusal = MidiActionsRefusal()) return Fail(node.source(), refusal);
  const toml::table* table = node.as_table();
  if (!table) return Fail(node.source(), "'midi' must be a table");
  for (auto&& [name, value] : *table) {
    if (name != "connect") return FailUnknown(name, "connect", "midi");
    const toml::array* list = value.as_array();
    if (!list) return Fail(value.source(), kConnectList);
    for (const toml::node& entry : *list) {
      const std::optional<std::string> pattern = entry.value_exact<std::string>();
      if (!pattern) return Fail(entry.source(), kConnectList);
      std::shared_ptr<const re2::RE2> compiled;
      if (!ReadPattern(entry, *pattern, compiled, "port")) return false;
      map.midiConnect.push_back(std::move(compiled));
      map.midiConnectText.push_back(*pattern);
    }
  }
  return true;
}

bool MapReader::ReadSequence(const toml::table& table, std::vector<KeyCombo>& sequence) {
  if (!OnlyFields(table, {"sequence"})) return false;
  const toml::node& node = *table.get("sequence");
  const toml::array* list = node.as_array();
  if (!list || list->empty() || list->size() > kMaxSequence) {
    return Fail(node.source(), "a sequence is a list of 1 to " + std::to_string(kMaxSequence) +
                                   " combinations, e.g. [\"k\", \"l\", \"l\"]");
  }
  for (const toml::node& entry : *list) {
    if (!ReadCombo(entry, sequence.emplace_back())) return false;
  }
  return true;
}

}  // namespace jskeys
