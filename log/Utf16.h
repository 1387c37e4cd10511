#pragma once
// Text between the system's UTF-16 and the UTF-8 that everything of ours carries (Windows): the
// one place where the two are converted, for the log, the link and the programs alike.

#include <string>
#include <string_view>

namespace jslog {

// A lone surrogate comes out as U+FFFD.
std::string Utf8FromWide(std::wstring_view wide);
// A byte that is not part of valid UTF-8 comes out as U+FFFD.
std::wstring WideFromUtf8(std::string_view text);

}  // namespace jslog
