#include "Translator.h"

namespace jskeys {
namespace {

// A held combination, a note (its note-off) and a controller with a value for up have
// something to send when their key comes up; the rest are done when it goes down.
bool IsHeld(const KeyBinding& binding) {
  switch (binding.kind) {
    case KeyBinding::Kind::kKeys: return binding.hold;
    case KeyBinding::Kind::kPlayer: return false;
    case KeyBinding::Kind::kMidi:
      return binding.midi.kind == MidiMessage::Kind::kNoteOn || binding.midiUp.has_value();
  }
  return false;
}

}  // namespace

Translator::Translator(const KeyMap& map) : map_(&map), section_(&map.defaults) {}

void Translator::SetMap(const KeyMap& map, Clock::time_point now, std::vector<Action>& out) {
  map_ = &map;
  section_ = &SectionFor(map, windowClass_, title_);
  for (std::size_t key = 0; key < kKeyCount; ++key) {
    if (!held_[key]) continue;
    const auto& binding = section_->keys[held_[key]->keyClass][key];
    if (!binding || !(*binding == held_[key]->binding)) KeyReleased(key, out);
  }
  Rebind(now, out);
}

void Translator::Start() {
  shuttle_ = 0;
  held_ = {};
  ring_.reset();
  nextDue_.reset();
  lastStroke_.reset();
  rateInForce_ = false;
}

void Translator::Apply(const JogShuttleChange& change, Clock::time_point now,
                       std::vector<Action>& out) {
  using Kind = JogShuttleChange::Kind;
  switch (change.kind) {
    case Kind::kKeyPressed:
      KeyPressed(change, out);
      break;
    case Kind::kKeyReleased:
      if (change.keyClass != JogShuttleChange::KeyClass::kModifier) KeyReleased(change.key, out);
      break;
    case Kind::kJog: {
      const std::optional<KeyBinding>& step = change.jogSteps > 0 ? section_->jogForward : section_->jogBack;
      const int steps = change.jogSteps > 0 ? change.jogSteps : -change.jogSteps;
      for (int i = 0; step && i < steps; ++i) Down(*step, out);
      break;
    }
    case Kind::kShuttle:
      if (change.state.shuttle != shuttle_) ShuttleChange(change.state.shuttle, now, out);
      break;
    case Kind::kInitText:
      // The controller started afresh: nothing it held is held any more.
      for (std::size_t key = 0; key < kKeyCount; ++key) KeyReleased(key, out);
      break;
    case Kind::kStatus:
    case Kind::kLineDown:
    case Kind::kLost:
      break;
  }
}

// The link's key classes are the map's modifier classes, in the same order.
static_assert(static_cast<int>(JogShuttleChange::KeyClass::kSC) ==
              static_cast<int>(ModifierClass::kSC));

void Translator::KeyPressed(const JogShuttleChange& change, std::vector<Action>& out) {
  if (change.keyClass == JogShuttleChange::KeyClass::kModifier || change.key >= kKeyCount) return;
  const auto& binding = section_->keys[static_cast<std::size_t>(change.keyClass)][change.key];
  if (!binding) return;
  if (IsHeld(*binding)) {
    KeyReleased(change.key, out);  // pressed again without a release in between
    Down(*binding, out);
    held_[change.key] = Held{*binding, static_cast<std::size_t>(change.keyClass)};
  } else {
    Down(*binding, out);
  }
}

void Translator::KeyReleased(std::size_t key, std::vector<Action>& out) {
  if (key >= kKeyCount || !held_[key]) return;
  Up(held_[key]->binding, out);
  held_[key].reset();
}

void Translator::Down(const KeyBinding& binding, std::vector<Action>& out) const {
  switch (binding.kind) {
    case KeyBinding::Kind::kKeys:
      out.push_back(Action::Keys(binding.hold ? Action::Kind::kPress : Action::Kind::kTap, binding.combo));
      break;
    case KeyBinding::Kind::kPlayer:
      out.push_back(Action::Player(binding.player, section_->mpris));
      break;
    case KeyBinding::Kind::kMidi:
      out.push_back(Action::Midi(binding.midi));
      break;
  }
}

void Translator::Up(const KeyBinding& binding, std::vector<Action>& out) {
  if (binding.kind == KeyBinding::Kind::kKeys) {
    out.push_back(Action::Keys(Action::Kind::kRelease, binding.combo));
  } else if (binding.kind == KeyBinding::Kind::kMidi) {
    MidiMessage up = binding.midi;
    if (up.kind == MidiMessage::Kind::kNoteOn) {
      up.kind = MidiMessage::Kind::kNoteOff;
      up.value = 0;
    } else {
      up.value = binding.midiUp.value_or(up.value);
    }
    out.push_back(Action::Midi(up));
  }
}

void Translator::ShuttleChange(std::int32_t position, Clock::time_point now,
                               std::vector<Action>& out) {
  shuttle_ = position;
  ring_ = section_->ShuttleAt(position);
  Reached(now, out);
}

void Translator::Reached(Clock::time_point now, std::vector<Action>& out) {
  if (!ring_ || ring_->kind != ShuttleRepeat::Kind::kRepeat) {
    nextDue_.reset();
    lastStroke_.reset();
  }
  if (!ring_) {
    if (shuttle_ == 0) Rest(out);
    return;
  }
  switch (ring_->kind) {
    case ShuttleRepeat::Kind::kRepeat:
      // Out of rest the first stroke goes at once; between positions the new rate counts from
      // the last stroke, so turning the ring never sends a burst.
      nextDue_ = lastStroke_ ? *lastStroke_ + std::chrono::milliseconds(ring_->everyMs) : now;
      Tick(now, out);
      break;
    case ShuttleRepeat::Kind::kSequence:
      for (const KeyCombo& combo : ring_->sequence) out.push_back(Action::Keys(Action::Kind::kTap, combo));
      break;
    case ShuttleRepeat::Kind::kPlayer:
      out.push_back(Action::Player(ring_->player, section_->mpris));
      // Whatever the ring told the player off rest is taken back at rest.
      if (shuttle_ != 0) {
        rateInForce_ = true;
        rateTo_ = section_->mpris;
      }
      break;
    case ShuttleRepeat::Kind::kMidi:
      out.push_back(Action::Midi(ring_->midi));
      break;
  }
  // At rest the section's own binding takes the place of the rest.
  if (shuttle_ == 0) rateInForce_ = false;
}

void Translator::Rest(std::vector<Action>& out) {
  if (!rateInForce_) return;
  out.push_back(Action::Player(PlayerCommand{.kind = PlayerCommand::Kind::kRest, .ms = 0, .rate = 0}, rateTo_));
  rateInForce_ = false;
}

void Translator::Tick(Clock::time_point now, std::vector<Action>& out) {
  if (!ring_ || ring_->kind != ShuttleRepeat::Kind::kRepeat || !nextDue_ || now < *nextDue_) return;
  out.push_back(Action::Keys(Action::Kind::kTap, ring_->combo));
  lastStroke_ = now;
  // Keeps the rate when woken a little late; after a long stall it starts afresh instead of
  // sending the missed strokes in a burst.
  const auto every = std::chrono::milliseconds(ring_->everyMs);
  Clock::time_point next = *nextDue_ + every;
  if (next <= now) next = now + every;
  nextDue_ = next;
}

void Translator::ReleaseAll(std::vector<Action>& out) {
  for (auto& held : held_) {
    if (held) Up(held->binding, out);
    held.reset();
  }
  ring_.reset();
  nextDue_.reset();
  lastStroke_.reset();
  Rest(out);
}

void Translator::Resync(const JogShuttleState& state, Clock::time_point now,
                        std::vector<Action>& out) {
  for (std::size_t key = 0; key < kKeyCount; ++key) {
    if ((state.heldKeys & SerialJS::kKeyMasks[key]) == 0) KeyReleased(key, out);
  }
  if (state.shuttle != shuttle_) ShuttleChange(state.shuttle, now, out);
}

bool Translator::SetWindow(std::string_view windowClass, std::string_view title,
                           Clock::time_point now, std::vector<Action>& out) {
  windowClass_ = windowClass;
  title_ = title;
  const Section* section = &SectionFor(*map_, windowClass, title);
  if (section == section_) return false;
  section_ = section;
  Rebind(now, out);
  return true;
}

void Translator::Rebind(Clock::time_point now, std::vector<Action>& out) {
  const std::optional<ShuttleRepeat>& bound = section_->ShuttleAt(shuttle_);
  if (shuttle_ == 0) {  // at rest nothing is in force to carry over
    ring_ = bound;
    return;
  }
  if (bound && bound->kind == ShuttleRepeat::Kind::kRepeat) {
    // A turning shuttle goes on with the new key and rate; one that repeated nothing (the other
    // section bound nothing there) starts now.
    const bool repeating = ring_ && ring_->kind == ShuttleRepeat::Kind::kRepeat && lastStroke_;
    nextDue_ = repeating ? *lastStroke_ + std::chrono::milliseconds(bound->everyMs) : now;
    ring_ = bound;
    return;
  }
  // What goes out once on reaching a position goes out again only when the new section binds
  // the position otherwise, or sends its rate to another player: the same rate or value again
  // is no news, and a sequence tapped again would move the application on. Nothing bound there:
  // a rate in force stays until rest.
  const bool toAnother = rateInForce_ && rateTo_ != section_->mpris;
  if (bound == ring_ && !(bound && bound->kind == ShuttleRepeat::Kind::kPlayer && toAnother)) {
    return;
  }
  ring_ = bound;
  nextDue_.reset();
  if (!ring_) return;
  // The player the old rate went to is not left running at it.
  if (ring_->kind == ShuttleRepeat::Kind::kPlayer && toAnother) Rest(out);
  Reached(now, out);
}

}  // namespace jskeys
