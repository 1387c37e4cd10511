#include "StateLine.h"

namespace {

std::string KeyNames(std::uint32_t bits) {
  std::string names;
  for (std::size_t key = 0; key < SerialJS::kKeyMasks.size(); ++key) {
    if ((bits & SerialJS::kKeyMasks[key]) == 0) continue;
    if (!names.empty()) names += ' ';
    names += 'K';
    names += std::to_string(key);
  }
  return '[' + names + ']';
}

std::string Signed(long long value) { return (value >= 0 ? "+" : "") + std::to_string(value); }

}  // namespace

std::string StateLine(const JogShuttleState& state) {
  std::string line = "held ";
  line += KeyNames(state.heldKeys);
  line += "  K ";
  line += KeyNames(state.keys);
  line += "  S ";
  line += KeyNames(state.sKeys);
  line += "  C ";
  line += KeyNames(state.cKeys);
  line += "  SC ";
  line += KeyNames(state.scKeys);
  line += "  jog +";
  line += std::to_string(state.jogIncrements);
  line += " -";
  line += std::to_string(state.jogDecrements);
  line += "  shuttle ";
  line += Signed(state.shuttle);
  return line;
}

bool SameShown(const JogShuttleState& a, const JogShuttleState& b) {
  return a.heldKeys == b.heldKeys && a.keys == b.keys && a.sKeys == b.sKeys &&
         a.cKeys == b.cKeys && a.scKeys == b.scKeys && a.jogIncrements == b.jogIncrements &&
         a.jogDecrements == b.jogDecrements && a.shuttle == b.shuttle;
}

std::string FitToWidth(std::string line, std::size_t columns) {
  if (columns == 0 || line.size() < columns) return line;
  line.resize(columns - 1);
  if (!line.empty()) line.back() = kCutMark;
  return line;
}
