#include "MapPatterns.h"

#include <re2/re2.h>

#include <algorithm>
#include <bit>

#include "KeyMap.h"

namespace jskeys {
namespace {

// The least budget a pattern is given, enough for any short one to match from its cache.
constexpr std::size_t kLeastPatternMemory = 16 * 1024;
// What a pattern is given per instruction of its programs: the programs themselves (RE2 keeps
// two thirds of the budget for the forward one and its cache, a third for the backward one),
// and room for the cache to hold the states of a title's length.
constexpr std::size_t kBytesPerInstruction = 64;

bool TooCostly(std::string& reason) {
  reason = "pattern too costly";
  return false;
}

// The pattern compiled within `budget`, both ways, and in `needs` the least budget its programs
// ask for; null with `reason` when it is bad or does not fit.
std::shared_ptr<const re2::RE2> Made(const std::string& pattern, std::size_t budget,
                                     std::size_t& needs, std::string& reason) {
  RE2::Options options;
  options.set_log_errors(false);
  options.set_max_mem(static_cast<std::int64_t>(budget));
  auto made = std::make_shared<const re2::RE2>(pattern, options);
  if (!made->ok() && made->error_code() != RE2::ErrorPatternTooLarge) {
    reason = "bad regular expression '" + pattern + "': " + made->error();
    return nullptr;
  }
  const int forward = made->ok() ? made->ProgramSize() : -1;
  const int backward = made->ok() ? made->ReverseProgramSize() : -1;
  if (forward < 0 || backward < 0) {
    TooCostly(reason);
    return nullptr;
  }
  needs = std::max(std::bit_ceil(kBytesPerInstruction * static_cast<std::size_t>(forward + backward)),
                   kLeastPatternMemory);
  if (needs > kPatternMemory) {
    TooCostly(reason);
    return nullptr;
  }
  return made;
}

}  // namespace

// A compile costs what the programs it makes come to, whatever the budget; so the pattern is
// compiled once with the most a pattern may have, to learn its programs' size (a pattern that
// cannot fit gives up there), then again with what that size needs. The backward program, which
// RE2 would otherwise make at a first match, is made here, within the budget.
bool PatternBudget::Compile(const std::string& pattern, std::shared_ptr<const re2::RE2>& compiled,
                            std::string& reason) {
  std::size_t budget = 0;
  std::shared_ptr<const re2::RE2> made = Made(pattern, kPatternMemory, budget, reason);
  if (!made) return false;
  if (budget < kPatternMemory) {
    std::size_t least = 0;
    std::string ignored;
    // Should the least budget not do after all, the first compile stands, at the most.
    if (auto tight = Made(pattern, budget, least, ignored); tight && least <= budget) {
      made = std::move(tight);
    } else {
      budget = kPatternMemory;
    }
  }
  if (budget > kMapPatternMemory - spent_) return TooCostly(reason);
  spent_ += budget;
  compiled = std::move(made);
  return true;
}

const Section& SectionFor(const KeyMap& map, std::string_view windowClass,
                          std::string_view title) {
  auto found = [](const std::shared_ptr<const re2::RE2>& pattern, std::string_view text) {
    text = text.substr(0, kMaxWindowText);
    return !pattern || RE2::PartialMatch(re2::StringPiece(text.data(), text.size()), *pattern);
  };
  for (const Section& section : map.applications) {
    if (found(section.classPattern, windowClass) && found(section.titlePattern, title)) {
      return section;
    }
  }
  return map.defaults;
}

}  // namespace jskeys
