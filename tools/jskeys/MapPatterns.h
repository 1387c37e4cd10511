#pragma once
// A map's patterns, compiled within a budget. RE2 compiles a pattern into programs (one to find
// a match, one run backwards to place its end) and builds its matching automaton lazily, as
// texts come, in a cache; its memory budget bounds all of these, and so what a match may cost
// in memory and, with the programs' size, in time. Each pattern is given the least budget its
// programs fit in with room to match, and a map's patterns share a total.

#include <cstddef>
#include <memory>
#include <string>

namespace re2 {
class RE2;
}

namespace jskeys {

class PatternBudget {
 public:
  // Compiles `pattern`, charging what it was given to the map's total. False with `reason` when
  // it is not a pattern, or costs more than a pattern may or than the map has left.
  bool Compile(const std::string& pattern, std::shared_ptr<const re2::RE2>& compiled,
               std::string& reason);

 private:
  std::size_t spent_ = 0;
};

}  // namespace jskeys
