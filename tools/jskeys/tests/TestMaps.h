#pragma once
// What every map of the jskeys tests starts with: S and C on controller keys 5 and 6, and the
// plain keys that every way of sending keys sends alike. A map goes on in [default.keys] with
// bindings of its own, then its other tables.

#include <string>
#include <string_view>

namespace jskeys_test {

inline std::string TestMap(std::string_view rest) {
  constexpr std::string_view kHead = R"(
[modifiers]
s = [5]
c = [6]
[default.keys]
0 = "space"
2 = "ctrl+z")";
  return std::string(kHead).append(rest);
}

}  // namespace jskeys_test
