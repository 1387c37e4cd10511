#include "LogFormat.h"

#include <cstdint>
#include <cwchar>
#include <type_traits>

namespace jslog {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendHexDigits(std::string& out, std::uint32_t value, int width) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  for (int pad = width - n; pad > 0; --pad) out.push_back('0');
  while (n > 0) out.push_back(digits[--n]);
}

void AppendDecimal(std::string& out, int value, bool showPlus, int width) {
  // Work in unsigned so that INT_MIN has a magnitude.
  std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value)
                                      : static_cast<std::uint32_t>(value);
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  int signWidth = 0;
  if (value < 0) {
    out.push_back('-');
    signWidth = 1;
  } else if (showPlus) {
    out.push_back('+');
    signWidth = 1;
  }
  for (int pad = width - signWidth - n; pad > 0; --pad) out.push_back('0');
  while (n > 0) out.push_back(digits[--n]);
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

void AppendUtf8(std::string& out, char32_t c) {
  if (IsControl(c)) {
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
  for (const wchar_t* p = begin; p < end; ++p) {
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

// Length of a valid UTF-8 sequence at p (not a control, not overlong, not a surrogate), or 0.
int Utf8SequenceLength(const unsigned char* p) {
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
  for (int i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;  // also stops at the terminating zero
    c = (c << 6) | (p[i] & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  if (IsControl(c)) return 0;
  return length;
}

// Text from the device: it must never break the line or reach the terminal as control.
void AppendDeviceText(std::string& out, const char* text) {
  if (text == nullptr) {
    out += "(null)";
    return;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    unsigned char b = *p;
    if (b >= 0x20 && b < 0x7F) {
      if (b == '\\') out.push_back('\\');
      out.push_back(static_cast<char>(b));
      ++p;
      continue;
    }
    int length = b >= 0x80 ? Utf8SequenceLength(p) : 0;
    if (length == 0) {
      AppendEscape(out, b, true);
      ++p;
    } else {
      out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
      p += length;
    }
  }
}

enum class Conversion { kNone, kDec, kDec02, kDecPlus02, kHex, kHex02, kHex04, kHex08, kWide, kNarrow };

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
  for (const ConversionSpec& spec : kConversions) {
    if (static_cast<std::size_t>(end - p) >= spec.length &&
        std::wmemcmp(p, spec.text, spec.length) == 0) {
      return &spec;
    }
  }
  return nullptr;
}

}  // namespace

void FormatLine(std::string& out, const wchar_t* format, std::va_list args) {
  if (format == nullptr) {
    out += "(null template)";
    return;
  }
  const wchar_t* end = format + std::wcslen(format);
  if (end > format && end[-1] == L'\n') --end;

  bool readValues = true;
  const wchar_t* literal = format;
  const wchar_t* p = format;
  while (p < end) {
    if (*p != L'%' || !readValues) {
      ++p;
      continue;
    }
    AppendWide(out, literal, p);
    const ConversionSpec* spec = MatchConversion(p, end);
    if (spec == nullptr) {
      readValues = false;  // written out from here on as it stands
      literal = p;
      ++p;
      continue;
    }
    switch (spec->conversion) {
      case Conversion::kDec: AppendDecimal(out, va_arg(args, int), false, 0); break;
      case Conversion::kDec02: AppendDecimal(out, va_arg(args, int), false, 2); break;
      case Conversion::kDecPlus02: AppendDecimal(out, va_arg(args, int), true, 2); break;
      case Conversion::kHex: AppendHexDigits(out, va_arg(args, unsigned), 0); break;
      case Conversion::kHex02: AppendHexDigits(out, va_arg(args, unsigned), 2); break;
      case Conversion::kHex04: AppendHexDigits(out, va_arg(args, unsigned), 4); break;
      case Conversion::kHex08: AppendHexDigits(out, va_arg(args, unsigned), 8); break;
      case Conversion::kWide: AppendWideArgument(out, va_arg(args, const wchar_t*)); break;
      case Conversion::kNarrow: AppendDeviceText(out, va_arg(args, const char*)); break;
      case Conversion::kNone: break;
    }
    p += spec->length;
    literal = p;
  }
  AppendWide(out, literal, end);
}

std::string FormatLineV(const wchar_t* format, ...) {
  std::string out;
  std::va_list args;
  va_start(args, format);
  FormatLine(out, format, args);
  va_end(args);
  return out;
}

}  // namespace jslog
