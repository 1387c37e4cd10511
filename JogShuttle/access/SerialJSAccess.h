#pragma once
// Reaches into a SerialJS object as its reader thread would, for tests, fuzzing and benchmarks.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "SerialJS.h"

class SerialJSAccess {
 public:
  // Appends what fits (at most 255 − rxCount bytes, as a read would) and returns how many.
  static std::size_t Append(SerialJS& link, std::span<const std::uint8_t> bytes) {
    const std::size_t room = 255 - link.rxCount;
    const std::size_t n = std::min(room, bytes.size());
    std::memcpy(link.rxBuffer.data() + link.rxCount, bytes.data(), n);
    link.rxCount += static_cast<std::uint32_t>(n);
    return n;
  }
  static void Decode(SerialJS& link) { link.Decode(); }
  static bool ReadAvailable(SerialJS& link) { return link.ReadAvailable(); }
  // Appends and decodes piece by piece until every byte went in.
  static void Feed(SerialJS& link, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      const std::size_t n = Append(link, bytes);
      link.Decode();
      bytes = bytes.subspan(n);
      if (n == 0) break;  // a jammed buffer: nothing more would ever be read
    }
  }
  static std::uint32_t RxCount(const SerialJS& link) { return link.rxCount; }
  static std::span<const std::uint8_t> Pending(const SerialJS& link) {
    return {link.rxBuffer.data(), link.rxCount};
  }
};
