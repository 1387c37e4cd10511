#include "ProbePorts.h"

#include <exception>
#include <memory>

#include "SerialJS.h"
#include "wPrintf.h"

namespace {
constexpr std::uint32_t kFirstPort = 1;
constexpr std::uint32_t kLastPort = 7;

std::unique_ptr<SerialJS> MakeLink(std::uint32_t port) { return std::make_unique<SerialJS>(port); }

// Makes the port's link and opens it; true when a controller answered. Nothing thrown on the
// way (memory exhausted while the link or its parts are made) leaves here: the port is skipped.
bool TryPort(LinkMaker make, std::uint32_t port) noexcept {
  try {
    std::unique_ptr<SerialJS> link = make(port);
    if (!link) {
      wPrintf(27, 1, L"JS: COM%d skipped: %hs\n", static_cast<int>(port), "no link");
      return false;
    }
    const bool answered = link->Open();
    link->Close();  // the port that answered is released too
    return answered;
  } catch (const std::exception& error) {
    wPrintf(27, 1, L"JS: COM%d skipped: %hs\n", static_cast<int>(port), error.what());
  } catch (...) {
    wPrintf(27, 1, L"JS: COM%d skipped: %hs\n", static_cast<int>(port), "unknown failure");
  }
  return false;
}

}  // namespace

std::uint32_t ProbePorts(const std::atomic<bool>* stop) {
  return ProbePorts(&MakeLink, stop);
}

std::uint32_t ProbePorts(LinkMaker make, const std::atomic<bool>* stop) {
  std::uint32_t found = 0;
  for (std::uint32_t port = kFirstPort; port <= kLastPort; ++port) {
    if (stop != nullptr && stop->load()) break;
    wPrintf(27, 10, L"JS: testing COM%d\n", static_cast<int>(port));
    if (TryPort(make, port)) {
      found = port;
      wPrintf(27, 10, L"JS: found JS at COM%d\n", static_cast<int>(port));
      break;
    }
  }
  return found;
}
