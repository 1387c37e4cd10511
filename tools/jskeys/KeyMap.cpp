#include "KeyMap.h"

#include "LogFormat.h"
#include "MapSchema.h"
#include "MapText.h"
#include "SmallFile.h"

namespace jskeys {

std::string MapError::Text() const {
  std::string text = jslog::SafeText(file);
  if (line != 0) text += ':' + std::to_string(line) + ':' + std::to_string(column);
  return text + ": " + jslog::SafeText(reason);
}

// The text is looked at before the parser is given it: the parser's costs grow with what these
// looks bound, and it must never meet what it cannot take.
bool ParseMap(std::string_view text, const std::string& file, KeyMap& map, MapError& error,
              const std::atomic<bool>* abandon) {
  map = KeyMap{};
  std::string ascii;
  if (!MakeAscii(text, ascii, error) || !CheckShape(ascii, error)) {
    error.file = file;
    return false;
  }
  if (!ReadMapText(ascii, file, map, error, abandon)) {
    map = KeyMap{};
    return false;
  }
  return true;
}

bool LoadMap(const std::string& path, KeyMap& map, MapError& error,
             const std::atomic<bool>* abandon) {
  std::string text, reason;
  if (!jsprogram::ReadSmallFile(path, kMaxMapFile, text, reason)) {
    error = {path, 0, 0, reason};
    return false;
  }
  return ParseMap(text, path, map, error, abandon);
}

}  // namespace jskeys
