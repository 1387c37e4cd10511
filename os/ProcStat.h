#pragma once
// A process as the kernel tells it in /proc/PID/stat: "pid (comm) state ppid pgrp session
// tty_nr ...". The command name may hold spaces and parentheses, so the fields are counted
// from the last ')'.

#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace jsposix {

// The stat line of `process`: a process id, or "self". Empty when the process is gone.
inline std::string ReadProcStat(const std::string& process) {
  std::ifstream in("/proc/" + process + "/stat");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Field `number` of a stat line as a number, numbered as proc(5) numbers them (7 tty_nr,
// 14 utime, 15 stime); nothing when the line is cut short or the field is not a number.
inline std::optional<long long> ProcStatField(std::string_view stat, int number) {
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string_view::npos || number < 3) return std::nullopt;
  std::istringstream fields{std::string(stat.substr(nameEnd + 1))};
  std::string field;
  for (int at = 3; at <= number; ++at) {
    if (!(fields >> field)) return std::nullopt;
  }
  long long value = 0;
  const auto [end, failed] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (failed != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return value;
}

}  // namespace jsposix
