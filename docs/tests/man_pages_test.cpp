// The man pages against the programs: every option a tool's --help lists is in its page, so an
// option added to a tool is not left out of its manual.

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <regex>
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
// ("\fB--port\fR") is no part of a word.
std::string PageWords(const std::string& roff) {
  const std::string dashes = std::regex_replace(roff, std::regex(R"(\\-)"), "-");
  return std::regex_replace(dashes, std::regex(R"(\\f(\[[A-Z]*\]|\([A-Z]{2}|[A-Z]))"), "");
}

// An option standing alone: "-h" in "-h,--help" but not in "--help", "--replay" but not in
// "--replay-speed".
const char* const kApart = "[^A-Za-z0-9-]";

std::set<std::string> OptionsIn(const std::string& help) {
  static const std::regex kOption(std::string("(?:^|") + kApart +
                                  ")(--[a-z][a-z-]*|-[A-Za-z])(?![A-Za-z0-9-])");
  std::set<std::string> options;
  for (auto it = std::sregex_iterator(help.begin(), help.end(), kOption);
       it != std::sregex_iterator(); ++it) {
    options.insert((*it)[1].str());
  }
  return options;
}

bool Mentions(const std::string& words, const std::string& option) {
  const std::string apart = kApart;
  return std::regex_search(words, std::regex("(^|" + apart + ")" + option + "($|" + apart + ")"));
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
    std::string title = ".TH " + file.substr(0, file.rfind('.')) + " " + file.substr(file.rfind('.') + 1);
    for (char& c : title) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_NE(std::string::npos, roff.find(title + " \""));
    if (page.program == nullptr) continue;

    jstesting::ChildProcess tool;
    ASSERT_TRUE(tool.Start({page.program, "--help"},
                           {.environment = {"JS_PORT_DIR=" + ports.path()}}));
    const std::string help = tool.RestOfOutput(60s);
    EXPECT_EQ(0, tool.WaitForExit(60s)) << tool.Errors();
    const std::set<std::string> options = OptionsIn(help);
    EXPECT_EQ(1u, options.count(page.listed)) << help;
    const std::string words = PageWords(roff);
    for (const std::string& option : options) {
      EXPECT_TRUE(Mentions(words, option)) << option << " is not in " << page.file;
    }
  }
}

}  // namespace
