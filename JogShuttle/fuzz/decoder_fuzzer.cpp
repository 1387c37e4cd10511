// Feeds arbitrary bytes to the decoder as a series of reads, as the reader thread would, and
// checks after each Decode that the buffer holds at most one incomplete message at its front.

#include <cstdint>
#include <cstdlib>
#include <span>

#include <algorithm>
#include "LogSink.h"
#include "SerialJS.h"
#include "SerialJSAccess.h"

namespace {

class DiscardSink final : public jslog::LogSink {
 public:
  void Write(std::uint32_t, std::uint32_t, std::string_view) noexcept override {}
};

// True when `pending` is the start of one message that is not all there yet.
bool IsOneIncompleteMessage(std::span<const std::uint8_t> pending) {
  if (pending.empty()) return true;
  const std::uint8_t code = pending[0];
  const std::size_t least = SerialJS::kMessageLength[code];
  if (least == 0) return false;  // an unknown code is always dropped
  if (pending.size() < least) return true;
  if (code != 0x82) return false;  // a complete fixed-length message was left behind
  const std::size_t whole = pending[1];
  return whole >= 2 && pending.size() < whole;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static DiscardSink sink;
  static const jslog::LogSink* installed = jslog::SetLogSink(&sink);
  (void)installed;

  SerialJS link(1);
  std::span<const std::uint8_t> input(data, size);
  // The first byte of each piece chooses the size of the next read (1..64).
  while (!input.empty()) {
    const std::size_t want = 1 + input[0] % 64;
    input = input.subspan(1);
    std::span<const std::uint8_t> piece = input.first(std::min(want, input.size()));
    const std::size_t taken = SerialJSAccess::Append(link, piece);
    SerialJSAccess::Decode(link);
    Check(SerialJSAccess::RxCount(link) <= 255);
    Check(IsOneIncompleteMessage(SerialJSAccess::Pending(link)));
    // Anything that did not fit waits for the next read, as it would in the driver's queue.
    input = input.subspan(taken);
    if (taken == 0 && !piece.empty()) std::abort();  // a jammed buffer would never read again
  }
  return 0;
}
