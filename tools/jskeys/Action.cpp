#include "Action.h"

#include <cmath>
#include <cstdio>

namespace jskeys {
namespace {

std::string NumberText(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string PlayerText(const PlayerCommand& command) {
  using Kind = PlayerCommand::Kind;
  switch (command.kind) {
    case Kind::kPlayPause: return "play_pause";
    case Kind::kPlay: return "play";
    case Kind::kPause: return "pause";
    case Kind::kStop: return "stop";
    case Kind::kNext: return "next";
    case Kind::kPrevious: return "previous";
    case Kind::kSeek: return "seek " + std::to_string(command.ms) + " ms";
    case Kind::kRate: return "rate " + NumberText(command.rate);
    case Kind::kRest: return "rest";
  }
  return "?";
}

std::string MidiText(const MidiMessage& message) {
  const std::string channel = " ch " + std::to_string(message.channel + 1);
  switch (message.kind) {
    case MidiMessage::Kind::kNoteOn:
      return "note_on " + std::to_string(message.number) + " " + std::to_string(message.value) +
             channel;
    case MidiMessage::Kind::kNoteOff:
      return "note_off " + std::to_string(message.number) + channel;
    case MidiMessage::Kind::kControl:
      return "cc " + std::to_string(message.number) + " = " + std::to_string(message.value) +
             channel;
  }
  return "?";
}

}  // namespace

std::uint8_t MidiMessage::Status() const {
  static constexpr std::uint8_t kStatus[] = {0x90, 0x80, 0xB0};
  return static_cast<std::uint8_t>(kStatus[static_cast<int>(kind)] | (channel & 0x0F));
}

std::string Action::Text() const {
  switch (kind) {
    case Kind::kTap: return "tap " + ComboText(combo);
    case Kind::kPress: return "press " + ComboText(combo);
    case Kind::kRelease: return "release " + ComboText(combo);
    case Kind::kPlayer:
      return "player " + PlayerText(player) + (playerName.empty() ? "" : " (" + playerName + ")");
    case Kind::kMidi: return "midi " + MidiText(midi);
  }
  return "?";
}

}  // namespace jskeys
