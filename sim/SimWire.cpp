#include "SimWire.h"

#include <limits>
#include <type_traits>

#include "Text.h"

namespace jssim {

std::string HexString(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

bool ParseHexString(std::string_view text, std::vector<std::uint8_t>& bytes) {
  if (text.size() % 2 != 0) return false;
  std::vector<std::uint8_t> parsed;
  parsed.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    std::uint8_t byte = 0;
    const std::string_view pair = text.substr(i, 2);
    if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos ||
        !ParseHexByte(pair, byte)) {
      return false;
    }
    parsed.push_back(byte);
  }
  bytes = std::move(parsed);
  return true;
}

std::vector<std::string_view> SplitWords(std::string_view text) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    const std::size_t end = text.find(' ');
    if (end != 0) words.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return words;
}

std::string EncodeOptions(const SimOptions& options) {
  const auto bytes = [](std::string_view text) {
    return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                         text.size());
  };
  return "statusC0=" + std::to_string(options.statusC0) +
         " statusC1=" + std::to_string(options.statusC1) +
         " statusC2=" + std::to_string(options.statusC2) +
         " silent=" + std::to_string(options.silent ? 1 : 0) +
         " answerFrom=" + std::to_string(options.answerFrom) +
         " initText=" + HexString(bytes(options.initText)) +
         " sendInit=" + std::to_string(options.sendInit ? 1 : 0) +
         " hangUpAfterRequests=" + std::to_string(options.hangUpAfterRequests) +
         " replyOverride=" + HexString(options.replyOverride);
}

bool DecodeOptions(std::string_view text, SimOptions& options, std::string& error) {
  SimOptions decoded;
  for (std::string_view word : SplitWords(text)) {
    const std::size_t equals = word.find('=');
    const std::string_view name = word.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : word.substr(equals + 1);
    const auto number = [&](long long max, auto& field) {
      long long parsed = 0;
      if (!ParseInteger(value, 0, max, parsed)) return false;
      field = static_cast<std::remove_reference_t<decltype(field)>>(parsed);
      return true;
    };
    const auto flag = [&](bool& field) {
      if (value != "0" && value != "1") return false;
      field = value == "1";
      return true;
    };
    bool ok = false;
    std::vector<std::uint8_t> bytes;
    if (equals == std::string_view::npos) {
      ok = false;
    } else if (name == "statusC0") {
      ok = number(0xFFFF, decoded.statusC0);
    } else if (name == "statusC1") {
      ok = number(0xFF, decoded.statusC1);
    } else if (name == "statusC2") {
      ok = number(0xFF, decoded.statusC2);
    } else if (name == "silent") {
      ok = flag(decoded.silent);
    } else if (name == "answerFrom") {
      ok = number(std::numeric_limits<std::uint32_t>::max(), decoded.answerFrom);
    } else if (name == "initText") {
      ok = ParseHexString(value, bytes);
      decoded.initText.assign(bytes.begin(), bytes.end());
    } else if (name == "sendInit") {
      ok = flag(decoded.sendInit);
    } else if (name == "hangUpAfterRequests") {
      ok = number(std::numeric_limits<std::uint32_t>::max(), decoded.hangUpAfterRequests);
    } else if (name == "replyOverride") {
      ok = ParseHexString(value, decoded.replyOverride);
    } else {
      error = "unknown option '" + std::string(name) + "'";
      return false;
    }
    if (!ok) {
      error = "bad option '" + std::string(word) + "'";
      return false;
    }
  }
  decoded.observer = std::move(options.observer);
  options = std::move(decoded);
  return true;
}

}  // namespace jssim
