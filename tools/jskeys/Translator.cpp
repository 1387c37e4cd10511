#include "Translator.h"

namespace jskeys {
namespace {

// A jog sum that moves back by half its range or more did not step: it was cleared (a reset
// of the controller state), and no strokes are owed for it.
constexpr std::uint32_t kSumWentBack = 0x80000000u;

std::uint32_t StepsBetween(std::uint32_t before, std::uint32_t after) {
  const std::uint32_t steps = after - before;  // modulo 2^32: the sums wrap
  return steps >= kSumWentBack ? 0 : steps;
}

}  // namespace

std::string Action::Text() const {
  static constexpr const char* kVerbs[] = {"tap ", "press ", "release "};
  return kVerbs[static_cast<int>(kind)] + ComboText(combo);
}

Translator::Translator(const KeyMap& map) : map_(map), section_(&map.defaults) {}

void Translator::Start(const JogShuttleState& state) {
  last_ = state;
  held_ = {};
  repeat_.reset();
  nextDue_.reset();
  lastStroke_.reset();
}

void Translator::Update(const JogShuttleState& state, Clock::time_point now,
                        std::vector<Action>& out) {
  // Every class's releases before any class's presses: a key that moved from one class to
  // another within one update must end up held in its new class, not released by a later pass.
  const std::uint32_t before[] = {last_.keys, last_.sKeys, last_.cKeys, last_.scKeys};
  const std::uint32_t after[] = {state.keys, state.sKeys, state.cKeys, state.scKeys};
  for (std::size_t c = 0; c < kModifierClasses; ++c) KeyReleases(before[c], after[c], out);
  for (std::size_t c = 0; c < kModifierClasses; ++c) {
    KeyPresses(static_cast<ModifierClass>(c), before[c], after[c], out);
  }

  const std::uint32_t forward = StepsBetween(last_.jogIncrements, state.jogIncrements);
  const std::uint32_t back = StepsBetween(last_.jogDecrements, state.jogDecrements);
  if (section_->jogForward) {
    for (std::uint32_t i = 0; i < forward; ++i) out.push_back({Action::Kind::kTap, *section_->jogForward});
  }
  if (section_->jogBack) {
    for (std::uint32_t i = 0; i < back; ++i) out.push_back({Action::Kind::kTap, *section_->jogBack});
  }
  if (state.shuttle != last_.shuttle) ShuttleChange(state.shuttle, now, out);
  last_ = state;
}

void Translator::KeyReleases(std::uint32_t before, std::uint32_t after, std::vector<Action>& out) {
  for (std::size_t key = 0; key < kKeyCount; ++key) {
    const std::uint32_t mask = SerialJS::kKeyMasks[key];
    if ((before & mask) == 0 || (after & mask) != 0) continue;
    if (held_[key]) out.push_back({Action::Kind::kRelease, *held_[key]});
    held_[key].reset();
  }
}

void Translator::KeyPresses(ModifierClass modifierClass, std::uint32_t before, std::uint32_t after,
                            std::vector<Action>& out) {
  for (std::size_t key = 0; key < kKeyCount; ++key) {
    const std::uint32_t mask = SerialJS::kKeyMasks[key];
    if ((before & mask) != 0 || (after & mask) == 0) continue;
    const auto& binding = section_->keys[static_cast<std::size_t>(modifierClass)][key];
    if (!binding) continue;
    if (binding->hold) {
      if (held_[key]) out.push_back({Action::Kind::kRelease, *held_[key]});
      out.push_back({Action::Kind::kPress, binding->combo});
      held_[key] = binding->combo;
    } else {
      out.push_back({Action::Kind::kTap, binding->combo});
    }
  }
}

void Translator::ShuttleChange(std::int32_t position, Clock::time_point now,
                               std::vector<Action>& out) {
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
  out.push_back({Action::Kind::kTap, repeat_->combo});
  lastStroke_ = now;
  // Keeps the rate when woken a little late; after a long stall it starts afresh instead of
  // sending the missed strokes in a burst.
  const auto every = std::chrono::milliseconds(repeat_->everyMs);
  Clock::time_point next = *nextDue_ + every;
  if (next <= now) next = now + every;
  nextDue_ = next;
}

void Translator::ReleaseAll(std::vector<Action>& out) {
  for (auto& combo : held_) {
    if (combo) out.push_back({Action::Kind::kRelease, *combo});
    combo.reset();
  }
  repeat_.reset();
  nextDue_.reset();
  lastStroke_.reset();
}

bool Translator::SetWindowClass(std::string_view windowClass) {
  const Section* section = &SectionFor(map_, windowClass);
  if (section == section_) return false;
  section_ = section;
  // A turning shuttle goes on with the new section's key and rate.
  if (repeat_) {
    const std::optional<ShuttleRepeat>& repeat = section_->ShuttleAt(last_.shuttle);
    if (repeat) {
      if (lastStroke_) nextDue_ = *lastStroke_ + std::chrono::milliseconds(repeat->everyMs);
      repeat_ = repeat;
    } else {
      repeat_.reset();
      nextDue_.reset();
    }
  }
  return true;
}

}  // namespace jskeys
