#pragma once
// A directory of its own under the system's temporary directory, removed with everything in it
// when the object goes: where tests, benchmarks and demos put their port links.

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace jstesting {

class TempDir {
 public:
  TempDir() : TempDir(std::filesystem::temp_directory_path()) {}
  // Under `base` instead: where another user must reach it, and the system's one is private.
  explicit TempDir(const std::filesystem::path& base) {
    std::string pattern = (base / "js-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool Made() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace jstesting
