#include "LogFormat.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <type_traits>
#include <vector>

namespace jslog {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Number writers: at most 11 characters each. Digits go straight to their places, two at a
// time from the last pair back, zeros filling the width.
constexpr auto kHexPairs = [] {
  std::array<char, 512> pairs{};
  for (int i = 0; i < 256; ++i) {
    pairs[2 * i] = kHexDigits[i >> 4];
    pairs[2 * i + 1] = kHexDigits[i & 0xF];
  }
  return pairs;
}();

constexpr auto kDecimalPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

char* WriteHex(char* out, std::uint32_t value, int width) {
  const int digits = std::max(1, (static_cast<int>(std::bit_width(value)) + 3) / 4);
  int n = std::max(width, digits);
  char* const end = out + n;
  for (; n >= 2; n -= 2, value >>= 8) std::memcpy(out + n - 2, &kHexPairs[2 * (value & 0xFF)], 2);
  if (n == 1) out[0] = kHexDigits[value & 0xF];
  return end;
}

char* WriteDecimal(char* out, int value, bool showPlus, int width) {
  // Work in unsigned so that INT_MIN has a magnitude.
  std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value)
                                      : static_cast<std::uint32_t>(value);
  if (value < 0 || showPlus) {
    *out++ = value < 0 ? '-' : '+';
    --width;
  }
  static constexpr std::uint32_t kPowersOfTen[] = {1,      10,      100,      1000,      10000,
                                                   100000, 1000000, 10000000, 100000000, 1000000000};
  // log10 from the bit width (1233/4096 is just above log10(2)), then one correction.
  const int guess = (static_cast<int>(std::bit_width(magnitude)) * 1233) >> 12;
  const int digits = std::max(1, guess + (magnitude >= kPowersOfTen[guess] ? 1 : 0));
  int n = std::max(width, digits);
  char* const end = out + n;
  for (; n >= 2; n -= 2, magnitude /= 100) {
    std::memcpy(out + n - 2, &kDecimalPairs[2 * (magnitude % 100)], 2);
  }
  if (n == 1) out[0] = static_cast<char>('0' + magnitude % 10);
  return end;
}
constexpr std::size_t kNumberWidth = 11;

void AppendHexDigits(std::string& out, std::uint32_t value, int width) {
  char text[kNumberWidth];
  out.append(text, static_cast<std::size_t>(WriteHex(text, value, width) - text));
}

void AppendEscape(std::string& out, char32_t c, bool asByte) {
  switch (c) {
    case U'\n': out += "\\n"; return;
    case U'\r': out += "\\r"; return;
    case U'\t': out += "\\t"; return;
    default: break;
  }
  out += asByte ? "\\x" : "\\u";
  AppendHexDigits(out, static_cast<std::uint32_t>(c), asByte ? 2 : 4);
}

bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

// Characters that show nothing themselves but hide, join or reorder what stands around them:
// the Arabic letter mark, zero-width spaces and joiners, the directional marks, the line and
// paragraph separators, the embeddings, overrides and isolates, the word joiner and invisible
// operators, and the byte order mark. Escaped, so that text from outside can never make a line
// read differently from what it holds.
bool IsInvisibleFormat(char32_t c) {
  return c == 0x061C || (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF;
}

bool NeedsEscape(char32_t c) { return IsControl(c) || IsInvisibleFormat(c); }

void AppendUtf8(std::string& out, char32_t c) {
  if (NeedsEscape(c)) {
    AppendEscape(out, c, false);
    return;
  }
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Appends wide text [begin, end): UTF-16 on Windows, UTF-32 elsewhere.
void AppendWide(std::string& out, const wchar_t* begin, const wchar_t* end) {
  // Template text is printable ASCII: narrow it in one pass straight into the line.
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(end - begin));
  char* dst = out.data() + start;
  const wchar_t* p = begin;
  for (; p < end; ++p) {
    const auto c = static_cast<std::make_unsigned_t<wchar_t>>(*p);
    if (c - 0x20u >= 0x5Fu) break;
    *dst++ = static_cast<char>(c);
  }
  out.resize(static_cast<std::size_t>(dst - out.data()));
  for (; p < end; ++p) {
    char32_t c = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(*p));
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0xD800 && c <= 0xDBFF && p + 1 < end) {
        char32_t low = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(p[1]));
        if (low >= 0xDC00 && low <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          ++p;
        }
      }
    }
    if (c < 0x80 && !IsControl(c)) {
      out.push_back(static_cast<char>(c));  // the common case: template text
    } else {
      AppendUtf8(out, c);
    }
  }
}

// A system text ends with its own line ending; the line is ours to end.
void AppendWideArgument(std::string& out, const wchar_t* text) {
  if (text == nullptr) {
    out += "(null)";
    return;
  }
  const wchar_t* end = text + std::wcslen(text);
  while (end > text && (end[-1] == L'\n' || end[-1] == L'\r')) --end;
  AppendWide(out, text, end);
}

// Length of a valid UTF-8 sequence at p, before `end` (not a control or invisible format
// character, not overlong, not a surrogate), or 0.
int Utf8SequenceLength(const unsigned char* p, const unsigned char* end) {
  unsigned char b0 = p[0];
  int length;
  char32_t c;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    c = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    c = b0 & 0x07;
  } else {
    return 0;
  }
  if (end - p < length) return 0;
  for (int i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (p[i] & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  if (NeedsEscape(c)) return 0;
  return length;
}

// Text from the device or from outside: it must never break the line or reach the terminal as
// control. The device's own backslashes are doubled so that its bytes read back exactly; a path's
// are left alone, as Windows paths are full of them.
void AppendOutsideText(std::string& out, const unsigned char* p, const unsigned char* end,
                       bool doubleBackslash) {
  while (p < end) {
    unsigned char b = *p;
    if (b >= 0x20 && b < 0x7F) {
      if (b == '\\' && doubleBackslash) out.push_back('\\');
      out.push_back(static_cast<char>(b));
      ++p;
      continue;
    }
    int length = b >= 0x80 ? Utf8SequenceLength(p, end) : 0;
    if (length == 0) {
      AppendEscape(out, b, true);
      ++p;
    } else {
      out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
      p += length;
    }
  }
}

void AppendDeviceText(std::string& out, const char* text) {
  if (text == nullptr) {
    out += "(null)";
    return;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  AppendOutsideText(out, p, p + std::strlen(text), true);
}

enum class Conversion { kDec, kDec02, kDecPlus02, kHex, kHex02, kHex04, kHex08, kWide, kNarrow };

struct ConversionSpec {
  const wchar_t* text;
  std::size_t length;
  Conversion conversion;
};

constexpr ConversionSpec kConversions[] = {
    {L"%d", 2, Conversion::kDec},         {L"%x", 2, Conversion::kHex},
    {L"%s", 2, Conversion::kWide},        {L"%hs", 3, Conversion::kNarrow},
    {L"%02x", 4, Conversion::kHex02},     {L"%04x", 4, Conversion::kHex04},
    {L"%08x", 4, Conversion::kHex08},     {L"%02d", 4, Conversion::kDec02},
    {L"%+02d", 5, Conversion::kDecPlus02},
};

const ConversionSpec* MatchConversion(const wchar_t* p, const wchar_t* end) {
  auto is = [&](const ConversionSpec& spec) {
    return static_cast<std::size_t>(end - p) >= spec.length &&
           std::wmemcmp(p, spec.text, spec.length) == 0;
  };
  switch (end - p >= 2 ? p[1] : L'\0') {
    case L'd': return &kConversions[0];
    case L'x': return &kConversions[1];
    case L's': return &kConversions[2];
    case L'h': return is(kConversions[3]) ? &kConversions[3] : nullptr;
    case L'0':
      for (int i = 4; i < 8; ++i) {
        if (is(kConversions[i])) return &kConversions[i];
      }
      return nullptr;
    case L'+': return is(kConversions[8]) ? &kConversions[8] : nullptr;
    default: return nullptr;
  }
}

}  // namespace

namespace {

// Literal text, kept padded with zeros to whole blocks, so that it copies in fixed-size moves
// (a few register moves instead of a call); the line being built has a block to spare.
constexpr std::size_t kBlock = 16;

struct Literal {
  std::string padded;
  std::size_t length = 0;

  void Assign(const std::string& text) {
    length = text.size();
    padded = text;
    padded.resize((length + kBlock - 1) / kBlock * kBlock, '\0');
  }
};

char* CopyText(char* out, const Literal& text) {
  const char* from = text.padded.data();
  for (std::size_t done = 0; done < text.length; done += kBlock) {
    std::memcpy(out + done, from + done, kBlock);
  }
  return out + text.length;
}

// A template taken apart once: literal text already in UTF-8, then the conversion after it.
struct Piece {
  Literal literal;
  Conversion conversion;
};

struct CompiledTemplate {
  const wchar_t* address = nullptr;
  std::wstring text;  // what the template said when it was compiled
  std::vector<Piece> pieces;
  Literal tail;  // literal text after the last conversion
  bool numbersOnly = true;
  std::size_t longestLine = 0;  // with numbers only: literal text plus the widest numbers
};

void Compile(CompiledTemplate& compiled, const wchar_t* format, std::size_t length) {
  compiled.address = format;
  compiled.text.assign(format, length);
  compiled.pieces.clear();
  compiled.numbersOnly = true;
  compiled.longestLine = 0;
  const wchar_t* end = format + length;
  if (end > format && end[-1] == L'\n') --end;
  const wchar_t* literal = format;
  const wchar_t* p = format;
  while (p < end) {
    p = std::wmemchr(p, L'%', static_cast<std::size_t>(end - p));
    if (p == nullptr) break;
    const ConversionSpec* spec = MatchConversion(p, end);
    if (spec == nullptr) break;  // from here on written out as it stands, and no value is read
    std::string text;
    AppendWide(text, literal, p);
    Piece piece{{}, spec->conversion};
    piece.literal.Assign(text);
    compiled.longestLine += text.size() + kBlock + kNumberWidth;
    if (spec->conversion == Conversion::kWide || spec->conversion == Conversion::kNarrow) {
      compiled.numbersOnly = false;
    }
    compiled.pieces.push_back(std::move(piece));
    p += spec->length;
    literal = p;
  }
  std::string text;
  AppendWide(text, literal, end);
  compiled.tail.Assign(text);
  compiled.longestLine += text.size() + kBlock;
}

// The common case, the state report among them: built in place with no string in between.
char* FormatNumbersOnly(char* line, const CompiledTemplate& compiled, std::va_list args) {
  char* p = line;
  for (const Piece& piece : compiled.pieces) {
    p = CopyText(p, piece.literal);
    switch (piece.conversion) {
      case Conversion::kDec: p = WriteDecimal(p, va_arg(args, int), false, 0); break;
      case Conversion::kDec02: p = WriteDecimal(p, va_arg(args, int), false, 2); break;
      case Conversion::kDecPlus02: p = WriteDecimal(p, va_arg(args, int), true, 2); break;
      case Conversion::kHex: p = WriteHex(p, va_arg(args, unsigned), 0); break;
      case Conversion::kHex02: p = WriteHex(p, va_arg(args, unsigned), 2); break;
      case Conversion::kHex04: p = WriteHex(p, va_arg(args, unsigned), 4); break;
      case Conversion::kHex08: p = WriteHex(p, va_arg(args, unsigned), 8); break;
      case Conversion::kWide:
      case Conversion::kNarrow: break;  // not in this kind of template
    }
  }
  return CopyText(p, compiled.tail);
}

}  // namespace

// Templates are nearly always literals, so each buffer keeps the few its thread uses taken apart.
// An entry is used only while the text at its address is still the same.
struct TemplateCache {
  std::array<CompiledTemplate, 16> entries;
  std::size_t nextVictim = 0;

  const CompiledTemplate& Lookup(const wchar_t* format) {
    for (const CompiledTemplate& entry : entries) {
      // wcscmp stops at the first difference or the end, so it never reads past either text.
      if (entry.address == format && std::wcscmp(entry.text.c_str(), format) == 0) return entry;
    }
    CompiledTemplate& entry = entries[nextVictim];
    nextVictim = (nextVictim + 1) % entries.size();
    Compile(entry, format, std::wcslen(format));
    return entry;
  }
};

LineBuffer::LineBuffer() : templates(std::make_unique<TemplateCache>()) {}
LineBuffer::~LineBuffer() = default;

std::string_view FormatLine(LineBuffer& buffer, const wchar_t* format, std::va_list args) {
  std::string& out = buffer.spill;
  out.clear();
  if (format == nullptr) {
    out += "(null template)";
    return out;
  }
  const CompiledTemplate& compiled = buffer.templates->Lookup(format);
  if (compiled.numbersOnly && compiled.longestLine <= buffer.fixed.size()) {
    char* line = buffer.fixed.data();
    return {line, static_cast<std::size_t>(FormatNumbersOnly(line, compiled, args) - line)};
  }
  char number[kNumberWidth];
  auto appendNumber = [&](char* end) { out.append(number, static_cast<std::size_t>(end - number)); };
  for (const Piece& piece : compiled.pieces) {
    out.append(piece.literal.padded.data(), piece.literal.length);
    switch (piece.conversion) {
      case Conversion::kDec: appendNumber(WriteDecimal(number, va_arg(args, int), false, 0)); break;
      case Conversion::kDec02: appendNumber(WriteDecimal(number, va_arg(args, int), false, 2)); break;
      case Conversion::kDecPlus02: appendNumber(WriteDecimal(number, va_arg(args, int), true, 2)); break;
      case Conversion::kHex: appendNumber(WriteHex(number, va_arg(args, unsigned), 0)); break;
      case Conversion::kHex02: appendNumber(WriteHex(number, va_arg(args, unsigned), 2)); break;
      case Conversion::kHex04: appendNumber(WriteHex(number, va_arg(args, unsigned), 4)); break;
      case Conversion::kHex08: appendNumber(WriteHex(number, va_arg(args, unsigned), 8)); break;
      case Conversion::kWide: AppendWideArgument(out, va_arg(args, const wchar_t*)); break;
      case Conversion::kNarrow: AppendDeviceText(out, va_arg(args, const char*)); break;
    }
  }
  out.append(compiled.tail.padded.data(), compiled.tail.length);
  return out;
}

std::string SafeText(std::string_view text, std::size_t limit) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::string out;
  AppendOutsideText(out, p, p + std::min(text.size(), limit), false);
  if (text.size() > limit) out += "... (" + std::to_string(text.size() - limit) + " bytes more)";
  return out;
}

std::string FormatLineV(const wchar_t* format, ...) {
  LineBuffer buffer;
  std::va_list args;
  va_start(args, format);
  std::string out(FormatLine(buffer, format, args));
  va_end(args);
  return out;
}

}  // namespace jslog
