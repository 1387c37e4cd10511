// The man pages against the programs: every option a tool's --help lists is in its page, so an
// option added to a tool is not left out of its manual.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "ChildProcess.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The page as its reader sees the words: roff writes a dash "\-", and a font change
// ("\fB--port\fR", "\f(CW", "\f[CB]") is no part of a word.
std::string PageWords(const std::string& roff) {
  std::string words;
  for (std::size_t i = 0; i < roff.size(); ++i) {
    if (roff[i] != '\\' || i + 1 == roff.size()) {
      words += roff[i];
    } else if (roff[i + 1] == '-') {
      words += '-';
      ++i;
    } else if (roff[i + 1] == 'f' && i + 2 < roff.size()) {
      if (roff[i + 2] == '[') {
        const std::size_t close = roff.find(']', i + 3);
        i = close == std::string::npos ? roff.size() : close;
      } else {
        i += roff[i + 2] == '(' ? 4 : 2;
      }
    } else {
      words += roff[i];
    }
  }
  return words;
}

// The words of a text: runs of letters, digits and dashes. An option stands alone, so "-h" is
// a word of "-h,--help" but not of "--help", and "--replay" not of "--replay-speed".
std::set<std::string> WordsOf(const std::string& text) {
  std::set<std::string> words;
  std::string word;
  for (const char c : text + ' ') {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-') {
      word += c;
    } else if (!word.empty()) {
      words.insert(word);
      word.clear();
    }
  }
  return words;
}

// "--name" in lower case with dashes, or "-x".
bool IsOption(const std::string& word) {
  if (word.size() == 2)
    return word[0] == '-' && std::isalpha(static_cast<unsigned char>(word[1])) != 0;
  if (word.size() < 3 || word.compare(0, 2, "--") != 0 ||
      std::islower(static_cast<unsigned char>(word[2])) == 0)
    return false;
  return std::all_of(word.begin() + 2, word.end(), [](char c) {
    return c == '-' || std::islower(static_cast<unsigned char>(c)) != 0;
  });
}

std::set<std::string> OptionsIn(const std::string& help) {
  std::set<std::string> options;
  for (const std::string& word : WordsOf(help)) {
    if (IsOption(word)) options.insert(word);
  }
  return options;
}

struct Page {
  const char* file;     // in docs/: NAME.SECTION
  const char* program;  // run with --help; null: nothing to run (no options, or a file format)
  const char* listed;   // an option the help surely lists: the options are read from it at all
};

const Page kPages[] = {
    {"jsprobe.1", nullptr, nullptr},  // takes no options
    {"jssim.1", JSSIM_PATH, "--link"},
    {"jsmonitor.1", JSMONITOR_PATH, "-v"},
    {"jskeys.1", JSKEYS_PATH, "-h"},
    {"jskeys.toml.5", nullptr, nullptr},  // the format of jskeys's map
};

TEST(ManPages, NameEveryOptionTheToolsHelpLists) {
  jstesting::TempDir ports;  // empty: --help reaches no port
  ASSERT_TRUE(ports.Made());
  for (const Page& page : kPages) {
    SCOPED_TRACE(page.file);
    const std::string roff = ReadFile(std::string(JS_DOCS_DIR) + "/" + page.file);
    ASSERT_FALSE(roff.empty());
    // ".TH JSKEYS.TOML 5": the page says whose it is.
    const std::string file = page.file;
    std::string title =
        ".TH " + file.substr(0, file.rfind('.')) + " " + file.substr(file.rfind('.') + 1);
    for (char& c : title) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_NE(std::string::npos, roff.find(title + " \""));
    if (page.program == nullptr) continue;

    jstesting::ChildProcess tool;
    ASSERT_TRUE(
        tool.Start({page.program, "--help"}, {.environment = {"JS_PORT_DIR=" + ports.path()}}));
    const std::string help = tool.RestOfOutput(60s);
    EXPECT_EQ(0, tool.WaitForExit(60s)) << tool.Errors();
    const std::set<std::string> options = OptionsIn(help);
    EXPECT_EQ(1u, options.count(page.listed)) << help;
    const std::set<std::string> words = WordsOf(PageWords(roff));
    for (const std::string& option : options) {
      EXPECT_EQ(1u, words.count(option)) << option << " is not in " << page.file;
    }
  }
}

}  // namespace
