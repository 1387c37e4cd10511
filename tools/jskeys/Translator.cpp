#include "Translator.h"

namespace jskeys {

Translator::Translator(const KeyMap& map) : map_(&map), section_(&map.defaults) {}

void Translator::SetMap(const KeyMap& map, Clock::time_point now, std::vector<Action>& out) {
  map_ = &map;
  section_ = &SectionFor(map, windowClass_, title_);
  for (std::size_t key = 0; key < kKeyCount; ++key) {
    if (!held_[key]) continue;
    const auto& binding = section_->keys[held_[key]->keyClass][key];
    if (!binding || !binding->hold || !(binding->combo == held_[key]->combo)) KeyReleased(key, out);
  }
  Rebind(now);
}

void Translator::Start() {
  shuttle_ = 0;
  held_ = {};
  repeat_.reset();
  nextDue_.reset();
  lastStroke_.reset();
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
      for (int i = 0; step && i < steps; ++i) out.push_back(Action::Keys(Action::Kind::kTap, step->combo));
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
  if (binding->hold) {
    KeyReleased(change.key, out);  // pressed again without a release in between
    out.push_back(Action::Keys(Action::Kind::kPress, binding->combo));
    held_[change.key] = Held{binding->combo, static_cast<std::size_t>(change.keyClass)};
  } else {
    out.push_back(Action::Keys(Action::Kind::kTap, binding->combo));
  }
}

void Translator::KeyReleased(std::size_t key, std::vector<Action>& out) {
  if (key >= kKeyCount || !held_[key]) return;
  out.push_back(Action::Keys(Action::Kind::kRelease, held_[key]->combo));
  held_[key].reset();
}

void Translator::ShuttleChange(std::int32_t position, Clock::time_point now,
                               std::vector<Action>& out) {
  shuttle_ = position;
  const std::optional<ShuttleRepeat>& repeat = position == 0 ? std::nullopt : section_->ShuttleAt(position);
  if (!repeat) {
    repeat_.reset();
    nextDue_.reset();
    lastStroke_.reset();
    return;
  }
  repeat_ = repeat;
  // Out of rest the first stroke goes at once; between positions the new rate counts from the
  // last stroke, so turning the ring never sends a burst.
  const Clock::time_point due =
      lastStroke_ ? *lastStroke_ + std::chrono::milliseconds(repeat->everyMs) : now;
  nextDue_ = due;
  Tick(now, out);
}

void Translator::Tick(Clock::time_point now, std::vector<Action>& out) {
  if (!repeat_ || !nextDue_ || now < *nextDue_) return;
  out.push_back(Action::Keys(Action::Kind::kTap, repeat_->combo));
  lastStroke_ = now;
  // Keeps the rate when woken a little late; after a long stall it starts afresh instead of
  // sending the missed strokes in a burst.
  const auto every = std::chrono::milliseconds(repeat_->everyMs);
  Clock::time_point next = *nextDue_ + every;
  if (next <= now) next = now + every;
  nextDue_ = next;
}

void Translator::ReleaseAll(std::vector<Action>& out) {
  for (auto& held : held_) {
    if (held) out.push_back(Action::Keys(Action::Kind::kRelease, held->combo));
    held.reset();
  }
  repeat_.reset();
  nextDue_.reset();
  lastStroke_.reset();
}

void Translator::Resync(const JogShuttleState& state, Clock::time_point now,
                        std::vector<Action>& out) {
  for (std::size_t key = 0; key < kKeyCount; ++key) {
    if ((state.heldKeys & SerialJS::kKeyMasks[key]) == 0) KeyReleased(key, out);
  }
  if (state.shuttle != shuttle_) ShuttleChange(state.shuttle, now, out);
}

bool Translator::SetWindow(std::string_view windowClass, std::string_view title,
                           Clock::time_point now) {
  windowClass_ = windowClass;
  title_ = title;
  const Section* section = &SectionFor(*map_, windowClass, title);
  if (section == section_) return false;
  section_ = section;
  Rebind(now);
  return true;
}

void Translator::Rebind(Clock::time_point now) {
  const std::optional<ShuttleRepeat>& repeat =
      shuttle_ == 0 ? std::nullopt : section_->ShuttleAt(shuttle_);
  if (!repeat) {
    repeat_.reset();
    nextDue_.reset();
    return;
  }
  // A turning shuttle goes on with the new key and rate; one that repeated nothing (the other
  // section bound nothing there) starts now.
  nextDue_ = repeat_ && lastStroke_ ? *lastStroke_ + std::chrono::milliseconds(repeat->everyMs) : now;
  repeat_ = repeat;
}

}  // namespace jskeys
