#pragma once
// What every map of the jskeys tests starts with: S and C on controller keys 5 and 6, and the
// bindings that every way of sending keys sends alike. A map goes on in [default.keys] with
// bindings of its own, then its other tables; `sKeys`: more of the S class.

#include <string>
#include <string_view>

namespace jskeys_test {

inline std::string TestMap(std::string_view rest, std::string_view sKeys = {}) {
  std::string map = R"(
[modifiers]
s = [5]
c = [6]
[default.c_keys]
0 = "ctrl+c"
[default.s_keys]
0 = "shift+Right")";
  map.append(sKeys).append(R"(
[default.keys]
0 = "space"
2 = "ctrl+z")");
  return map.append(rest);
}

}  // namespace jskeys_test
