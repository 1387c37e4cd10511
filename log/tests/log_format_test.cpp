#include <gtest/gtest.h>

#include <climits>

#include "LogFormat.h"

namespace {

using jslog::FormatLineV;

TEST(LogFormat, IntegerConversions) {
  struct Case {
    std::string expected;
    std::string actual;
  };
  const Case cases[] = {
      {"7", FormatLineV(L"%d", 7)},
      {"-42", FormatLineV(L"%d", -42)},
      {"-2147483648", FormatLineV(L"%d", INT_MIN)},
      {"2147483647", FormatLineV(L"%d", INT_MAX)},
      // Digit counts change at each power of ten.
      {"0 9 10 99 100 999 1000", FormatLineV(L"%d %d %d %d %d %d %d", 0, 9, 10, 99, 100, 999, 1000)},
      {"999999999 1000000000", FormatLineV(L"%d %d", 999999999, 1000000000)},
      {"+99 +100 -1000", FormatLineV(L"%+02d %+02d %+02d", 99, 100, -1000)},
      {"05", FormatLineV(L"%02d", 5)},
      {"123", FormatLineV(L"%02d", 123)},
      {"-5", FormatLineV(L"%02d", -5)},
      {"+0", FormatLineV(L"%+02d", 0)},
      {"+1", FormatLineV(L"%+02d", 1)},
      {"-7", FormatLineV(L"%+02d", -7)},
      {"-128", FormatLineV(L"%+02d", -128)},
      {"+127", FormatLineV(L"%+02d", 127)},
      {"0", FormatLineV(L"%x", 0u)},
      {"ff", FormatLineV(L"%x", 255u)},
      {"03", FormatLineV(L"%02x", 3u)},
      {"1ff", FormatLineV(L"%02x", 0x1FFu)},
      {"0100", FormatLineV(L"%04x", 0x100u)},
      {"fffffff9", FormatLineV(L"%08x", 0xFFFFFFF9u)},
      {"00000000", FormatLineV(L"%08x", 0u)},
      {"ffffffff 10 10000 fffff", FormatLineV(L"%x %02x %x %04x", 0xFFFFFFFFu, 0x10u, 0x10000u, 0xFFFFFu)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, c.actual);
}

TEST(LogFormat, TheStateReportLine) {
  EXPECT_EQ("SerialJS: JI:02 JD:128 S:-7(fffffff9) K:0100 SK:0000 CK:0000 SCK:0000 E:ff M:0100",
            FormatLineV(L"SerialJS: JI:%02d JD:%02d S:%+02d(%08x) K:%04x SK:%04x CK:%04x SCK:%04x "
                        L"E:%02x M:%04x\n",
                        2, 128, -7, -7, 0x100, 0, 0, 0, 0xFF, 0x100));
}

TEST(LogFormat, StringsWideAndNarrow) {
  EXPECT_EQ("opening COM1: config", FormatLineV(L"opening %s config\n", L"COM1:"));
  EXPECT_EQ("Init(ABC)", FormatLineV(L"Init(%hs)\n", "ABC"));
  EXPECT_EQ("Init()", FormatLineV(L"Init(%hs)\n", ""));
  EXPECT_EQ("x (null) (null)", FormatLineV(L"x %s %hs", static_cast<const wchar_t*>(nullptr),
                                           static_cast<const char*>(nullptr)));
  // Wide text beyond ASCII is UTF-8 on output.
  EXPECT_EQ("Fehler: Zugriff verweigert \xE2\x82\xAC \xF0\x9F\x98\x80",
            FormatLineV(L"Fehler: %s", L"Zugriff verweigert \u20AC \U0001F600"));
  // A system text's own line ending does not break the line.
  EXPECT_EQ("Error (2): The system cannot find the file specified.",
            FormatLineV(L"Error (%d): %s\n", 2, L"The system cannot find the file specified.\r\n"));
}

TEST(LogFormat, DeviceTextIsEscaped) {
  struct Case {
    const char* text;
    std::string expected;
  };
  const Case cases[] = {
      {"line\nbreak", "line\\nbreak"},
      {"\r\t", "\\r\\t"},
      {"\x1b[2J", "\\x1b[2J"},
      {"\x7f", "\\x7f"},
      {"back\\slash", "back\\\\slash"},
      {"\xff\xfe", "\\xff\\xfe"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},  // valid UTF-8 stays text
      {"\xc3", "\\xc3"},               // cut sequence
      {"\xc0\xaf", "\\xc0\\xaf"},      // overlong
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  // surrogate
      {"\xc2\x9b", "\\xc2\\x9b"},      // C1 control (CSI) in UTF-8
  };
  for (const Case& c : cases) {
    EXPECT_EQ("Init(" + c.expected + ")", FormatLineV(L"Init(%hs)\n", c.text)) << c.text;
  }
  // Text from outside is escaped the same way, but a path's backslashes stay single.
  EXPECT_EQ("C:\\maps\\a\\x1b.toml \\x1b", jslog::SafeText("C:\\maps\\a\\x1b.toml \x1b"));
}

TEST(LogFormat, ControlCharactersInWideTextAreEscaped) {
  EXPECT_EQ("a\\nb \\u001b[0m \\u009b", FormatLineV(L"%s", L"a\nb \x1b[0m \x9b"));
  // Only the template's closing line feed is dropped.
  EXPECT_EQ("one\\ntwo", FormatLineV(L"one\ntwo\n"));
  EXPECT_EQ("", FormatLineV(L"\n"));
}

// Characters that would hide or reorder parts of a line, with their neighbours that stay text.
TEST(LogFormat, InvisibleFormatCharactersAreEscaped) {
  struct Case {
    char32_t c;
    const char* utf8;
    const char* asWide;    // in a %s text
    const char* asNarrow;  // in a %hs text
  };
  const Case cases[] = {
      {0x061B, "\xd8\x9b", "\xd8\x9b", "\xd8\x9b"},  // Arabic semicolon: text
      {0x061C, "\xd8\x9c", "\\u061c", "\\xd8\\x9c"},
      {0x200A, "\xe2\x80\x8a", "\xe2\x80\x8a", "\xe2\x80\x8a"},  // hair space: text
      {0x200B, "\xe2\x80\x8b", "\\u200b", "\\xe2\\x80\\x8b"},
      {0x200D, "\xe2\x80\x8d", "\\u200d", "\\xe2\\x80\\x8d"},
      {0x200F, "\xe2\x80\x8f", "\\u200f", "\\xe2\\x80\\x8f"},
      {0x2010, "\xe2\x80\x90", "\xe2\x80\x90", "\xe2\x80\x90"},  // hyphen: text
      {0x2027, "\xe2\x80\xa7", "\xe2\x80\xa7", "\xe2\x80\xa7"},  // hyphenation point
      {0x2028, "\xe2\x80\xa8", "\\u2028", "\\xe2\\x80\\xa8"},
      {0x2029, "\xe2\x80\xa9", "\\u2029", "\\xe2\\x80\\xa9"},
      {0x202A, "\xe2\x80\xaa", "\\u202a", "\\xe2\\x80\\xaa"},
      {0x202E, "\xe2\x80\xae", "\\u202e", "\\xe2\\x80\\xae"},
      {0x202F, "\xe2\x80\xaf", "\xe2\x80\xaf", "\xe2\x80\xaf"},  // narrow no-break space
      {0x205F, "\xe2\x81\x9f", "\xe2\x81\x9f", "\xe2\x81\x9f"},  // math space: text
      {0x2060, "\xe2\x81\xa0", "\\u2060", "\\xe2\\x81\\xa0"},
      {0x2066, "\xe2\x81\xa6", "\\u2066", "\\xe2\\x81\\xa6"},
      {0x2069, "\xe2\x81\xa9", "\\u2069", "\\xe2\\x81\\xa9"},
      {0x206F, "\xe2\x81\xaf", "\\u206f", "\\xe2\\x81\\xaf"},
      {0x2070, "\xe2\x81\xb0", "\xe2\x81\xb0", "\xe2\x81\xb0"},  // superscript zero
      {0xFEFE, "\xef\xbb\xbe", "\xef\xbb\xbe", "\xef\xbb\xbe"},  // unassigned: text
      {0xFEFF, "\xef\xbb\xbf", "\\ufeff", "\\xef\\xbb\\xbf"},
  };
  for (const Case& c : cases) {
    const wchar_t wide[] = {L'<', static_cast<wchar_t>(c.c), L'>', L'\0'};
    EXPECT_EQ(std::string("<") + c.asWide + ">", FormatLineV(L"%s", wide)) << std::hex << static_cast<unsigned>(c.c);
    EXPECT_EQ(std::string("<") + c.asNarrow + ">",
              FormatLineV(L"%hs", (std::string("<") + c.utf8 + ">").c_str()))
        << std::hex << static_cast<unsigned>(c.c);
  }
  // A right-to-left override cannot turn the rest of the line round.
  EXPECT_EQ("SerialJS: Init(abc\\xe2\\x80\\xaedcba)",
            FormatLineV(L"SerialJS: Init(%hs)\n", "abc\xe2\x80\xae" "dcba"));
  EXPECT_EQ("file \\u2066x\\u2069 gone", FormatLineV(L"file %s gone", L"\u2066x\u2069"));
}

TEST(LogFormat, UnknownConversionsAreWrittenOutAndStopReadingValues) {
  EXPECT_EQ("%f then %d and %s", FormatLineV(L"%f then %d and %s\n", 1.5, 3, L"x"));
  EXPECT_EQ("3 %5d %x", FormatLineV(L"%d %5d %x", 3, 4, 5u));
  EXPECT_EQ("100%", FormatLineV(L"100%"));
  EXPECT_EQ("%%", FormatLineV(L"%%"));
  EXPECT_EQ("(null template)", FormatLineV(nullptr));
}

}  // namespace
