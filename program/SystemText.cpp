#include "SystemText.h"

#include <cstdlib>

#if defined(_WIN32)
// clang-format off
#include <windows.h>
#include <shellapi.h>  // after <windows.h>, which it needs
// clang-format on

#include "Utf16.h"
#endif

namespace jsprogram {

#if defined(_WIN32)

std::vector<std::string> Arguments(int, char**) {
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(jslog::Utf8FromWide(words[i]));
  LocalFree(words);
  return arguments;
}

std::string EnvironmentVariable(const char* name) {
  const std::wstring wideName = jslog::WideFromUtf8(name);
  // The value may change between the two calls: asked again while it grew.
  std::wstring value(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) return {};
    if (length < value.size()) {
      value.resize(length);
      return jslog::Utf8FromWide(value);
    }
    value.resize(length);  // the room needed, with the terminating null
  }
}

std::filesystem::path PathOf(std::string_view text) {
  return std::filesystem::path(jslog::WideFromUtf8(text));
}

std::string TextOf(const std::filesystem::path& path) {
  return jslog::Utf8FromWide(path.native());
}

#else

std::vector<std::string> Arguments(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
}

std::string EnvironmentVariable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::filesystem::path PathOf(std::string_view text) { return std::filesystem::path(text); }

std::string TextOf(const std::filesystem::path& path) { return path.native(); }

#endif

}  // namespace jsprogram
