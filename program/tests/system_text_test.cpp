// Names from the system in UTF-8 and back: a file the user names with accents or CJK characters
// is found by that name, and the name comes back as it was written (Windows hands narrow callers
// such names in the ANSI code page, which loses them).

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "SmallFile.h"
#include "SystemText.h"

#if defined(_WIN32)
#include <windows.h>

#include "Utf16.h"
#else
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

// UTF-8 names as a user writes them: Latin-1 letters (which an ANSI code page may still hold),
// CJK (which a Western one cannot), a character beyond the basic plane (a surrogate pair in
// UTF-16), and a space.
const char* const kNames[] = {
    "Café live",
    "José",
    "日本",
    "キー.toml",
    "\xF0\x9F\x8E\x9B knobs",  // U+1F39B
    "plain",
};

// A folder of the test's own, removed with what is in it.
class Folder {
 public:
  Folder() {
    static std::atomic<int> count{0};
#if defined(_WIN32)
    const unsigned long process = GetCurrentProcessId();
#else
    const unsigned long process = static_cast<unsigned long>(::getpid());
#endif
    path_ = fs::temp_directory_path() /
            ("js-text-" + std::to_string(process) + "-" + std::to_string(count++));
    std::error_code ignored;
    fs::create_directories(path_, ignored);
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void SetVariable(const std::string& name, const std::string& value) {
#if defined(_WIN32)
  SetEnvironmentVariableW(jslog::WideFromUtf8(name).c_str(), jslog::WideFromUtf8(value).c_str());
#else
  ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

TEST(SystemText, APathComesBackAsItWasWritten) {
  for (const char* name : kNames) {
    const std::string text = std::string("dir/") + name;
    EXPECT_EQ(text, jsprogram::TextOf(jsprogram::PathOf(text))) << name;
  }
}

TEST(SystemText, AFileNamedInUtf8IsReadByThatName) {
  Folder folder;
  for (const char* name : kNames) {
    // Made through the system's own wide names, read back through the UTF-8 one.
    const fs::path folderPath = folder.path() / jsprogram::PathOf(name);
    std::error_code fault;
    ASSERT_TRUE(fs::create_directories(folderPath, fault)) << name << ": " << fault.message();
    std::ofstream(folderPath / jsprogram::PathOf(name)) << "in " << name;
    const std::string utf8 = jsprogram::TextOf(folderPath / jsprogram::PathOf(name));
    std::string text, error;
    EXPECT_TRUE(jsprogram::ReadSmallFile(utf8, 100, text, error)) << utf8 << ": " << error;
    EXPECT_EQ(std::string("in ") + name, text) << utf8;
  }
}

TEST(SystemText, AnEnvironmentVariableComesAsUtf8) {
  for (const char* name : kNames) {
    const std::string value = std::string("C:\\Users\\") + name + "\\AppData\\Roaming";
    SetVariable("JS_SYSTEM_TEXT_TEST", value);
    EXPECT_EQ(value, jsprogram::EnvironmentVariable("JS_SYSTEM_TEXT_TEST")) << name;
  }
  SetVariable("JS_SYSTEM_TEXT_TEST", "");
  EXPECT_EQ("", jsprogram::EnvironmentVariable("JS_SYSTEM_TEXT_TEST"));
  EXPECT_EQ("", jsprogram::EnvironmentVariable("JS_SYSTEM_TEXT_TEST_NEVER_SET"));
}

#if defined(_WIN32)
// What is not valid on one side becomes U+FFFD on the other, never a cut or an empty text.
TEST(SystemText, TheConversionsMarkWhatIsNotText) {
  const struct {
    std::string utf8;
    std::wstring wide;
  } cases[] = {
      {"Caf\xC3\xA9", L"Caf\u00E9"},
      {"\xE6\x97\xA5\xE6\x9C\xAC", L"\u65E5\u672C"},
      {"\xF0\x9F\x8E\x9B", L"\xD83C\xDF9B"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.wide, jslog::WideFromUtf8(c.utf8)) << c.utf8;
    EXPECT_EQ(c.utf8, jslog::Utf8FromWide(c.wide)) << c.utf8;
  }
  // Latin-1 bytes, as an ANSI code page gives é, are no UTF-8.
  EXPECT_EQ(L"Caf\uFFFD", jslog::WideFromUtf8("Caf\xE9"));
  // A lone surrogate.
  EXPECT_EQ("a\xEF\xBF\xBD" "b", jslog::Utf8FromWide(std::wstring(L"a\xD83C" L"b")));
  EXPECT_EQ("", jslog::Utf8FromWide(L""));
  EXPECT_EQ(L"", jslog::WideFromUtf8(""));
}
#endif

}  // namespace
