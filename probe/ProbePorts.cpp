#include "ProbePorts.h"

#include <memory>
#include <new>

#include "SerialJS.h"
#include "wPrintf.h"

namespace {
constexpr std::uint32_t kFirstPort = 1;
constexpr std::uint32_t kLastPort = 7;
}  // namespace

std::uint32_t ProbePorts(const std::atomic<bool>* stop) {
  std::uint32_t found = 0;
  for (std::uint32_t port = kFirstPort; port <= kLastPort; ++port) {
    if (stop != nullptr && stop->load()) break;
    wPrintf(27, 10, L"JS: testing COM%d\n", static_cast<int>(port));
    std::unique_ptr<SerialJS> link(new (std::nothrow) SerialJS(port));
    if (!link) continue;  // out of memory: this port cannot be tried
    const bool answered = link->Open();
    link->Close();  // the port that answered is released too
    link.reset();
    if (answered) {
      found = port;
      wPrintf(27, 10, L"JS: found JS at COM%d\n", static_cast<int>(port));
      break;
    }
  }
  return found;
}
