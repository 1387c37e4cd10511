#include "Script.h"

#include <optional>

#include "SimOptions.h"
#include "Text.h"

namespace jssim {

namespace {

struct Command {
  std::string text;
  int line;
};

// Splits the script into commands, leaving quoted text whole. False on a quote left open at the
// end of its line.
bool SplitCommands(std::string_view script, std::vector<Command>& commands, std::string& error) {
  int line = 1;
  std::string current;
  bool quoted = false;
  auto finish = [&] {
    const std::string_view trimmed = Trim(current);
    if (!trimmed.empty()) commands.push_back({std::string(trimmed), line});
    current.clear();
  };
  for (std::size_t i = 0; i < script.size(); ++i) {
    const char c = script[i];
    if (c == '\n') {
      if (quoted) {
        error = "line ";
        error += std::to_string(line);
        error += ": '";
        error += Trim(current);
        error += "': quote not closed";
        return false;
      }
      finish();
      ++line;
    } else if (quoted) {
      current += c;
      if (c == '\\' && i + 1 < script.size() && script[i + 1] != '\n') {
        current += script[++i];
      } else if (c == '"') {
        quoted = false;
      }
    } else if (c == ';') {
      finish();
    } else if (c == '#') {
      while (i + 1 < script.size() && script[i + 1] != '\n') ++i;
    } else {
      current += c;
      quoted = c == '"';
    }
  }
  if (quoted) {
    error =
        "line " + std::to_string(line) + ": '" + std::string(Trim(current)) + "': quote not closed";
    return false;
  }
  finish();
  return true;
}

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  for (;;) {
    text = Trim(text);
    if (text.empty()) return words;
    const std::size_t end = std::min(text.find_first_of(" \t"), text.size());
    words.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
}

// The text of an init command: the rest as it stands, or one quoted string with escapes.
std::optional<std::string> InitText(std::string_view rest, std::string& problem) {
  if (rest.empty() || rest[0] != '"') return std::string(rest);
  std::string text;
  std::size_t i = 1;
  for (; i < rest.size() && rest[i] != '"'; ++i) {
    if (rest[i] != '\\') {
      text += rest[i];
      continue;
    }
    if (++i == rest.size()) break;
    if (rest[i] == '"' || rest[i] == '\\') {
      text += rest[i];
    } else if (std::uint8_t byte = 0;
               rest[i] == 'x' && i + 2 < rest.size() && ParseHexByte(rest.substr(i + 1, 2), byte)) {
      text += static_cast<char>(byte);
      i += 2;
    } else {
      problem = "unknown escape \\";
      problem += rest[i];
      problem += " (use \\\" \\\\ or \\xHH)";
      return std::nullopt;
    }
  }
  if (i >= rest.size()) {
    problem = "quote not closed";
    return std::nullopt;
  }
  if (!Trim(rest.substr(i + 1)).empty()) {
    problem = "text after the closing quote";
    return std::nullopt;
  }
  return text;
}

class CommandParser {
 public:
  CommandParser(const Command& command, std::vector<ScriptStep>& steps)
      : command_(command), steps_(steps) {}

  // Empty when the command is good; else what is wrong with it.
  std::string Parse() {
    const std::vector<std::string_view> words = Words(command_.text);
    const std::string_view name = words[0];
    args_.assign(words.begin() + 1, words.end());
    if (name == "press" || name == "release" || name == "tap") return Key(name);
    if (name == "jog") return Jog();
    if (name == "shuttle") return Shuttle();
    if (name == "jogshuttle") return JogShuttle();
    if (name == "init") return Init();
    if (name == "raw") return Raw();
    if (name == "wait") return Wait();
    if (name == "hangup") return HangUp();
    return "unknown command '" + std::string(name) + "'";
  }

 private:
  bool Count(std::size_t n) const { return args_.size() == n; }
  void Add(std::vector<std::uint8_t> bytes, std::string what) {
    steps_.push_back(
        {ScriptStep::Kind::kSend, std::move(bytes), 0, std::move(what), command_.line});
  }
  bool Signed(std::string_view text, std::uint8_t& byte) const {
    long long value = 0;
    if (!ParseInteger(text, -128, 127, value)) return false;
    byte = static_cast<std::uint8_t>(value);
    return true;
  }

  std::string Key(std::string_view name) {
    long long key = 0;
    if (!Count(1)) return "takes one key number";
    if (!ParseInteger(args_[0], 0, 8, key)) return "key must be 0 to 8";
    const auto k = static_cast<std::uint8_t>(key);
    const std::string number = std::to_string(key);
    if (name != "release") Add({static_cast<std::uint8_t>(0x40 + k)}, "press " + number);
    if (name != "press") Add({static_cast<std::uint8_t>(0x60 + k)}, "release " + number);
    return {};
  }
  std::string Jog() {
    std::uint8_t jog = 0;
    if (!Count(1)) return "takes one step count";
    if (!Signed(args_[0], jog)) return "jog must be -128 to 127";
    Add({0x80, jog}, "jog " + std::string(args_[0]));
    return {};
  }
  std::string Shuttle() {
    std::uint8_t shuttle = 0;
    if (!Count(1)) return "takes one position";
    if (!Signed(args_[0], shuttle)) return "shuttle must be -128 to 127";
    Add({0x81, 0x00, shuttle}, "shuttle " + std::string(args_[0]));
    return {};
  }
  std::string JogShuttle() {
    std::uint8_t jog = 0, shuttle = 0;
    if (!Count(2)) return "takes a step count and a position";
    if (!Signed(args_[0], jog)) return "jog must be -128 to 127";
    if (!Signed(args_[1], shuttle)) return "shuttle must be -128 to 127";
    Add({0x81, jog, shuttle}, "jogshuttle " + std::string(args_[0]) + " " + std::string(args_[1]));
    return {};
  }
  std::string Init() {
    std::string problem;
    const std::optional<std::string> text = InitText(Trim(command_.text.substr(4)), problem);
    if (!text) return problem;
    if (text->size() > kMaxInitText) {
      return "init text longer than " + std::to_string(kMaxInitText) + " bytes";
    }
    std::vector<std::uint8_t> bytes = {0x82, static_cast<std::uint8_t>(text->size() + 2)};
    bytes.insert(bytes.end(), text->begin(), text->end());
    Add(std::move(bytes), "init " + Quoted(*text));
    return {};
  }
  std::string Raw() {
    std::vector<std::uint8_t> bytes;
    if (args_.empty()) return "takes one or more bytes";
    for (std::string_view word : args_) {
      std::uint8_t byte = 0;
      if (!ParseHexByte(word, byte)) {
        std::string problem = "'";
        problem += word;
        problem += "' is not a hex byte";
        return problem;
      }
      bytes.push_back(byte);
    }
    Add(std::move(bytes), "raw");
    return {};
  }
  std::string Wait() {
    long long ms = 0;
    if (!Count(1)) return "takes a time in milliseconds";
    if (!ParseInteger(args_[0], 0, kMaxWaitMs, ms)) {
      return "wait must be 0 to " + std::to_string(kMaxWaitMs) + " ms";
    }
    steps_.push_back({ScriptStep::Kind::kWait,
                      {},
                      static_cast<std::uint32_t>(ms),
                      "wait " + std::to_string(ms),
                      command_.line});
    return {};
  }
  std::string HangUp() {
    if (!Count(0)) return "takes nothing";
    steps_.push_back({ScriptStep::Kind::kHangUp, {}, 0, "hangup", command_.line});
    return {};
  }

  const Command& command_;
  std::vector<ScriptStep>& steps_;
  std::vector<std::string_view> args_;
};

}  // namespace

bool ParseScript(std::string_view text, std::vector<ScriptStep>& steps, std::string& error) {
  steps.clear();
  std::vector<Command> commands;
  if (!SplitCommands(text, commands, error)) return false;
  for (const Command& command : commands) {
    const std::string problem = CommandParser(command, steps).Parse();
    if (!problem.empty()) {
      error = "line ";
      error += std::to_string(command.line);
      error += ": '";
      error += command.text;
      error += "': ";
      error += problem;
      steps.clear();
      return false;
    }
  }
  return true;
}

}  // namespace jssim
