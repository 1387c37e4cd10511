// The decoder: turns the bytes at the front of rxBuffer into the controller state.

#include <cstring>

#include "ChangeQueue.h"
#include "SerialJS.h"
#include "wPrintf.h"

namespace {

constexpr std::uint8_t kInitText = 0x82;

bool IsKeyPress(std::uint32_t code) { return code >= 0x40 && code <= 0x48; }
bool IsKeyRelease(std::uint32_t code) { return code >= 0x60 && code <= 0x68; }

}  // namespace

void SerialJS::SetModifierMasks(std::uint32_t cMask, std::uint32_t sMask) {
  cModifiers = cMask;
  sModifiers = sMask;
}

void SerialJS::ReportState() {
  wPrintf(24, 8,
          L"SerialJS: JI:%02d JD:%02d S:%+02d(%08x) K:%04x SK:%04x CK:%04x SCK:%04x E:%02x "
          L"M:%04x\n",
          static_cast<int>(jogIncrements.Load()), static_cast<int>(jogDecrements.Load()),
          static_cast<int>(shuttle.Load()), static_cast<unsigned>(shuttle.Load()),
          static_cast<unsigned>(keys.Load()), static_cast<unsigned>(sKeys.Load()),
          static_cast<unsigned>(cKeys.Load()), static_cast<unsigned>(scKeys.Load()),
          static_cast<unsigned>(statusC1.Load()), static_cast<unsigned>(heldKeys.Load()));
  inputEvent.Set();
}

void SerialJS::WarnInvalid(std::uint32_t code) {
  if (limited != 0 && warningsLogged >= warningLimit) {
    droppedWarnings += 1;
    return;
  }
  ++warningsLogged;
  wPrintf(24, 2, L"SerialJS: Invalid command(%02x)\n", static_cast<unsigned>(code));
}

void SerialJS::Record(JogShuttleChange& change) {
  if (!changes) return;  // nobody keeps them: the probe, the state-only clients
  change.state = State();
  change.readTime = readTime;
  changes->Push(change);
}

void SerialJS::Decode() {
  std::uint32_t pos = 0;
  // Keeps the incomplete message that starts at `from` for the next call.
  auto carryOver = [this](std::uint32_t from, std::uint32_t needed) {
    rxCount -= from;
    std::memmove(rxBuffer.data(), rxBuffer.data() + from, rxCount);
    wPrintf(24, 8, L"SerialJS[%02x]: Not enough data:%d remain:%d\n",
            static_cast<unsigned>(currentCode.Load()), static_cast<int>(needed),
            static_cast<int>(rxCount));
  };
  // A jog byte: a step count in two's complement.
  auto applyJog = [this](std::uint8_t step) {
    if (step > 127) {
      jogDecrements += 256u - step;
    } else {
      jogIncrements += step;
    }
    if (step != 0 && changes) {
      JogShuttleChange change;
      change.kind = JogShuttleChange::Kind::kJog;
      change.jogSteps = static_cast<std::int16_t>(step > 127 ? step - 256 : step);
      Record(change);
    }
  };
  auto recordKey = [this](JogShuttleChange::Kind kind, std::uint32_t key,
                          JogShuttleChange::KeyClass keyClass) {
    if (!changes) return;
    JogShuttleChange change;
    change.kind = kind;
    change.key = static_cast<std::uint8_t>(key);
    change.keyClass = keyClass;
    Record(change);
  };
  using KeyClass = JogShuttleChange::KeyClass;

  while (pos < rxCount) {
    const std::uint32_t code = rxBuffer[pos];
    currentCode = code;
    const std::uint32_t need = kMessageLength[code];
    if (rxCount - pos < need) {
      carryOver(pos, need);
      return;
    }
    ++pos;

    if (IsKeyPress(code)) {
      const std::uint32_t mask = kKeyMasks[code - 0x40];
      // heldKeys has no other writer (Reset leaves it alone): a plain read and write will do.
      heldKeys = heldKeys | mask;
      const std::uint32_t s = sModifiers;
      const std::uint32_t c = cModifiers;
      const std::uint32_t d = mask & ~(s | c);
      if (d == 0) {  // a modifier key: no report
        recordKey(JogShuttleChange::Kind::kKeyPressed, code - 0x40, KeyClass::kModifier);
        continue;
      }
      const std::uint32_t held = heldKeys;
      const bool withS = (held & s) != 0;
      const bool withC = (held & c) != 0;
      KeyClass keyClass = KeyClass::kNone;
      if (withS && withC) {
        scKeys.SetBits(d);
        keyClass = KeyClass::kSC;
      } else if (withS) {
        sKeys.SetBits(d);
        keyClass = KeyClass::kS;
      } else if (withC) {
        cKeys.SetBits(d);
        keyClass = KeyClass::kC;
      } else {
        keys.SetBits(d);
      }
      recordKey(JogShuttleChange::Kind::kKeyPressed, code - 0x40, keyClass);
    } else if (IsKeyRelease(code)) {
      const std::uint32_t mask = kKeyMasks[code - 0x60];
      heldKeys = heldKeys & ~mask;
      if ((mask & (sModifiers | cModifiers)) != 0) {
        recordKey(JogShuttleChange::Kind::kKeyReleased, code - 0x60, KeyClass::kModifier);
        continue;
      }
      // The set it counted in, before it leaves them all.
      const KeyClass keyClass = (keys & mask) != 0     ? KeyClass::kNone
                                : (sKeys & mask) != 0  ? KeyClass::kS
                                : (cKeys & mask) != 0  ? KeyClass::kC
                                : (scKeys & mask) != 0 ? KeyClass::kSC
                                                       : KeyClass::kNone;
      keys.ClearBits(mask);
      sKeys.ClearBits(mask);
      cKeys.ClearBits(mask);
      scKeys.ClearBits(mask);
      recordKey(JogShuttleChange::Kind::kKeyReleased, code - 0x60, keyClass);
    } else if (code == 0x80) {
      const std::uint8_t step = rxBuffer[pos++];
      applyJog(step);
      // Small movements that leave the jog where the shuttle says are not worth a report.
      if (jogDecrements < 2u && jogIncrements < 2u &&
          static_cast<std::int32_t>(step) == shuttle.Load()) {
        continue;
      }
    } else if (code == 0x81) {
      applyJog(rxBuffer[pos++]);
      shuttle = static_cast<std::int8_t>(rxBuffer[pos++]);
      if (changes) {
        JogShuttleChange change;
        change.kind = JogShuttleChange::Kind::kShuttle;
        Record(change);
      }
    } else if (code == kInitText) {
      const std::uint32_t length = rxBuffer[pos];
      if (length < 2) {
        // A length that does not even cover the code and itself: dropped like an unknown code,
        // or it would hold the front of the buffer for ever.
        WarnInvalid(code);
        continue;
      }
      heldKeys = 0;
      const std::uint32_t n = length - 2;
      ++pos;
      if (rxCount - pos < n) {
        carryOver(pos - 2, n);
        return;
      }
      char text[1024];
      std::memcpy(text, rxBuffer.data() + pos, n);
      text[n] = '\0';
      if (changes) {
        JogShuttleChange change;
        change.kind = JogShuttleChange::Kind::kInitText;
        change.textLength = static_cast<std::uint8_t>(n);
        std::memcpy(change.text.data(), rxBuffer.data() + pos, n);
        Record(change);
      }
      pos += n;
      wPrintf(24, 9, L"SerialJS: Init(%hs)\n", text);
    } else if (code >= 0xC0 && code <= 0xC2) {
      const std::uint32_t value = code == 0xC0 ? rxBuffer[pos] * 256u + rxBuffer[pos + 1] : rxBuffer[pos];
      (code == 0xC0 ? statusC0 : code == 0xC1 ? statusC1 : statusC2) = value;
      pos += code == 0xC0 ? 2 : 1;
      if (changes) {
        JogShuttleChange change;
        change.kind = JogShuttleChange::Kind::kStatus;
        change.statusCode = static_cast<std::uint8_t>(code);
        change.statusValue = value;
        Record(change);
      }
      continue;
    } else {
      WarnInvalid(code);
      continue;
    }
    ReportState();
  }
  rxCount = 0;
}

JogShuttleState SerialJS::State() const {
  return JogShuttleState{sModifiers,    cModifiers,   heldKeys, statusC2, statusC0,
                         statusC1,      keys,         sKeys,    cKeys,    scKeys,
                         jogIncrements, jogDecrements, shuttle};
}
