#include "OutputSet.h"

namespace jskeys {

OutputSet::OutputSet(KeyOutput& keys, MakeActionOutput makePlayer, MakeActionOutput makeMidi)
    : keys_(keys), makePlayer_(makePlayer), makeMidi_(makeMidi), all_{&keys} {}

void OutputSet::SetMap(const KeyMap& map) {
  // Made once and kept: a reload that drops the actions leaves an idle connection, cheaper than
  // a player or port that comes and goes with each edit.
  auto make = [this](bool used, MakeActionOutput maker, std::unique_ptr<ActionOutput>& output) {
    if (!used || output || !maker) return;
    output = maker();
    if (output) all_.push_back(output.get());
  };
  make(map.usesPlayer, makePlayer_, player_);
  make(map.usesMidi, makeMidi_, midi_);
  for (ActionOutput* output : all_) output->SetMap(map);
}

void OutputSet::Send(const Action& action) {
  // A kind with a maker of its own goes only there (dropped when it could not be made: that was
  // said then); without one (a dry run) it is printed with the keys.
  if (action.kind == Action::Kind::kPlayer && makePlayer_) {
    if (player_) player_->Send(action);
  } else if (action.kind == Action::Kind::kMidi && makeMidi_) {
    if (midi_) midi_->Send(action);
  } else {
    keys_.Send(action);
  }
}

void OutputSet::Flush() {
  for (ActionOutput* output : all_) output->Flush();
}

void OutputSet::Focus(const FocusedWindow& window) {
  for (ActionOutput* output : all_) output->Focus(window);
}

std::optional<Clock::time_point> OutputSet::Due() const {
  std::optional<Clock::time_point> due;
  for (const ActionOutput* output : all_) {
    const std::optional<Clock::time_point> next = output->Due();
    if (next && (!due || *next < *due)) due = next;
  }
  return due;
}

void OutputSet::Tick(Clock::time_point now) {
  for (ActionOutput* output : all_) {
    const std::optional<Clock::time_point> due = output->Due();
    if (due && *due <= now) output->Tick(now);
  }
}

void OutputSet::Finish() {
  for (ActionOutput* output : all_) output->Finish();
}

}  // namespace jskeys
