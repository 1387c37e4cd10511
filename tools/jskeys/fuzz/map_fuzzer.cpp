// Feeds arbitrary text to the map reader, as a map file copied from anywhere would be, and
// matches what it accepts against an arbitrary window class, as any X client may set its own.
// Input: the window class, a zero byte, then the map.

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "KeyMap.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = std::min(input.find('\0'), input.size());
  const std::string_view windowClass = input.substr(0, split);
  const std::string_view text = input.substr(std::min(split + 1, input.size()));
  jskeys::KeyMap map;
  jskeys::MapError error;
  if (jskeys::ParseMap(text, "fuzz.toml", map, error)) {
    (void)jskeys::SectionFor(map, windowClass);
  } else {
    // The message goes to a terminal: it must stay short, whatever the map said.
    if (error.Text().size() > 4096) __builtin_trap();
  }
  return 0;
}
