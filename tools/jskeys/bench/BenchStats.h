#pragma once
// What the jskeys benchmarks measure alike: percentiles of latencies, and the CPU time a
// process has taken.

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace jskeys_bench {

inline double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const std::size_t index =
      std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
  return values[index];
}

// Seconds on a CPU, all threads of the process together: from each thread's schedstat (in
// nanoseconds) where the kernel keeps it, else from /proc/PID/stat (in clock ticks).
inline double CpuSeconds(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  double nanoseconds = 0;
  bool schedstat = true;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(base + "/task", error)) {
    std::ifstream in(task.path() / "schedstat");
    double onCpu = 0;
    if (!(in >> onCpu)) schedstat = false;
    nanoseconds += onCpu;
  }
  if (schedstat && !error) return nanoseconds / 1e9;
  std::ifstream in(base + "/stat");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace jskeys_bench
