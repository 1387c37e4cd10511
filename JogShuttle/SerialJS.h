#pragma once
// The link to a jog/shuttle controller on one serial port: opens and configures the port, runs
// a reader thread that decodes everything the controller sends into the controller state, and
// tells through Open whether a controller answers.
//
// Use from one thread: construct, Open, then (when Open returned true) any number of Send,
// WaitForInput, Reset and SetModifierMasks calls, then Close, then destroy. Every failure is a
// false result and a line through wPrintf; nothing throws.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>

#include "Platform.h"
#include "SharedWord.h"

namespace js {
class ChangeQueue;
}

// A snapshot of the controller state, each field read on its own.
struct JogShuttleState {
  std::uint32_t sModifiers;
  std::uint32_t cModifiers;
  std::uint32_t heldKeys;   // every key held, modifiers included (M)
  std::uint32_t statusC2;
  std::uint32_t statusC0;
  std::uint32_t statusC1;   // (E)
  std::uint32_t keys;       // keys pressed with no modifier held (K)
  std::uint32_t sKeys;      // ... with only an S modifier held (SK)
  std::uint32_t cKeys;      // ... with only a C modifier held (CK)
  std::uint32_t scKeys;     // ... with both kinds held (SCK)
  std::uint32_t jogIncrements;  // running sum of positive jog steps (JI)
  std::uint32_t jogDecrements;  // running sum of negative jog steps, as magnitudes (JD)
  std::int32_t shuttle;         // -128..127 (S)
};

// One change the decoder made, in the order of the bytes that made it (SerialJS::NextChange).
struct JogShuttleChange {
  enum class Kind : std::uint8_t {
    kKeyPressed,   // key, keyClass
    kKeyReleased,  // key, keyClass (the set it was in, kNone when in none)
    kJog,          // jogSteps (+ forward, - back); the new sums are in state
    kShuttle,      // state.shuttle: the position
    kStatus,       // statusCode (0xC0, 0xC1, 0xC2) and statusValue
    kInitText,     // text, textLength; held keys cleared
    kLineDown,     // the line went down (an unplugged adapter); nothing follows
    kLost,         // lost: changes that did not fit in the queue here; the state still has them
  };
  // Which of the four key sets a key counted in: pressed with no modifier, only an S, only a C,
  // or both kinds held; or a modifier key itself, which counts in none.
  enum class KeyClass : std::uint8_t { kNone, kS, kC, kSC, kModifier };

  Kind kind = Kind::kStatus;
  std::uint8_t key = 0;  // 0..8
  KeyClass keyClass = KeyClass::kNone;
  std::int16_t jogSteps = 0;
  std::uint8_t statusCode = 0;
  std::uint32_t statusValue = 0;
  std::uint32_t lost = 0;
  std::uint8_t textLength = 0;
  std::array<char, 253> text{};  // not ended by a zero: textLength bytes
  JogShuttleState state{};       // the whole state right after this change
  std::chrono::steady_clock::time_point readTime{};  // when the read that brought it returned
};

class SerialJS {
 public:
  // Key bits by key number 0..8; the bits are not in key order.
  static constexpr std::array<std::uint32_t, 9> kKeyMasks = {
      0x0100, 0x0200, 0x0400, 0x0800, 0x1000, 0x0040, 0x0080, 0x4000, 0x2000};

  // Least length of each message from the controller, code byte included; 0 for unknown codes.
  // An init text (0x82) is counted by its length byte; the table gives the two bytes before it.
  static constexpr std::array<std::uint8_t, 256> kMessageLength = [] {
    std::array<std::uint8_t, 256> length{};
    for (int code = 0x40; code <= 0x48; ++code) length[code] = 1;  // key press
    for (int code = 0x60; code <= 0x68; ++code) length[code] = 1;  // key release
    length[0x80] = 2;  // jog
    length[0x81] = 3;  // jog and shuttle
    length[0x82] = 2;  // init text
    length[0xC0] = 3;  // status C0
    length[0xC1] = 2;  // status C1
    length[0xC2] = 2;  // status C2
    return length;
  }();

  // Commands to the controller.
  static constexpr std::uint8_t kResetCommand = 0x43;
  static constexpr std::array<std::uint8_t, 3> kGetStatusCommand = {0x40, 0x41, 0x42};

  // Status fields hold this while the handshake waits for a reply.
  static constexpr std::uint32_t kNoStatus = 0xFFFF;

  explicit SerialJS(std::uint32_t number);  // the n of COMn, 1 and up
  ~SerialJS();
  SerialJS(const SerialJS&) = delete;
  SerialJS& operator=(const SerialJS&) = delete;

  // Opens "COM<portNumber>:" (from COM10 on "\\.\COM<portNumber>"), configures 19200 baud 8N1, starts the reader thread and runs the
  // presence handshake. True: a controller answered; the link stays open. False: closed again.
  bool Open();
  // Writes bytes to the controller; true when the write completed without an error code.
  bool Send(const std::uint8_t* bytes, std::uint32_t count);
  // Releases the port and ends the reader thread; any number of times.
  void Close();
  // Waits up to `milliseconds` (js::sys::kInfinite: no limit) for a reported change of keys,
  // jog, shuttle or init text. False when the time ran out; otherwise true, the event cleared.
  bool WaitForInput(std::uint32_t milliseconds);
  // Sends the reset command and clears the key sets, the jog sums, the shuttle and the status.
  // Held keys and the modifier choice stay.
  void Reset();
  // Chooses which keys act as C and S modifiers; takes effect at the next key message.
  void SetModifierMasks(std::uint32_t cMask, std::uint32_t sMask);

  // What COMn names here: on POSIX $JS_PORT_DIR/comN when that is set, else /dev/ttyS{n-1};
  // empty when it names nothing (JS_PORT_DIR set but empty).
  static std::string PortPath(std::uint32_t number);
  // What COMn leads to and, with Look::kOpenable, whether it could be opened now. Nothing is
  // written to the port and its line is not changed; on POSIX it is not even opened, so its modem
  // lines stay as they are. A program that holds a port only with TIOCEXCL shows only at Open.
  static PortInfo InspectPort(std::uint32_t number, PortInfo::Look look);

  JogShuttleState State() const;
  std::uint32_t PortNumber() const { return portNumber; }

  // False once the line has gone down (an unplugged adapter, a closed far end) while the link
  // was open; true while it is open and up. The input event is set once when it goes down,
  // so that a client in WaitForInput wakes.
  bool IsLineUp() const { return lineUp != 0; }
  // Ready once the reader thread has ended; -1 where it ends only with the process (POSIX).
  // Under Wine a SIGQUIT ends only the thread it lands on, and a reader whose wait the system
  // lost ends itself: a program that finds the reader gone while the link is open closes the
  // link and ends.
  std::intptr_t ReaderEndSignal() const { return readerThread.Waitable(); }
  // True when the reader has ended while the link was open.
  bool ReaderLost() {
    return running != 0 && readerThread.IsStarted() && readerThread.WaitForExit(0);
  }

  // Called on the reader thread with each piece of bytes read from the port, in order, before
  // they are decoded. It must return quickly; it may read State(), and calls nothing else.
  using ReceiveTap = void (*)(void* context, const std::uint8_t* bytes, std::uint32_t count);
  // Before Open; null: none. While the link is open the call changes nothing.
  void SetReceiveTap(ReceiveTap tap, void* context);

  // Before Open, as the tap: the handshake of each Open logs at most `count` warnings about what
  // the port sent (bytes that are no message of the controller's); the rest are only counted, for
  // DroppedWarnings. With 0 the try is quiet: a handshake that found no controller, and the
  // closing after it, are not said either; the caller says what it makes of the try. Once a
  // controller answered, everything is logged again. No limit unless called.
  void LimitWarnings(std::uint32_t count);
  // How many warnings the last Open's handshake did not log.
  std::uint32_t DroppedWarnings() const { return droppedWarnings.Load(); }

  // Before Open, as the tap: from then on every change the decoder makes is also kept for
  // NextChange, in order, up to `capacity` not yet taken (more are counted, and told as one
  // kLost change in their place). Without this call nothing is kept, and keeping costs nothing.
  // While the link is open the call changes nothing; each Open starts with none kept.
  static constexpr std::uint32_t kDefaultChangeCapacity = 1024;
  void KeepChanges(std::uint32_t capacity = kDefaultChangeCapacity);
  // The oldest change not yet taken, waiting up to `milliseconds` (js::sys::kInfinite: no limit)
  // for one. False when none came in time, or none are kept. From one thread at a time. Unlike
  // the state, it misses nothing: a key pressed and released within one read is both changes.
  bool NextChange(JogShuttleChange& change, std::uint32_t milliseconds);
  // For a client that waits on the changes beside other things (a window system, a timer): a
  // handle that is ready while changes wait to be taken, a file descriptor that polls readable on
  // POSIX, an event handle on Win32. Take changes with NextChange(change, 0) until it gives false;
  // only then may the handle be waited on again. -1 while changes are not kept.
  std::intptr_t ChangeSignal() const;

 private:
  friend class SerialJSAccess;  // tests, fuzzing and benchmarks feed the decoder directly

  static std::uint32_t ReaderEntry(void* self);
  std::uint32_t ReaderLoop();
  bool ReadAvailable();
  void Decode();
  void ReportState();
  // A byte that starts no message: said, or counted once the limit is reached.
  void WarnInvalid(std::uint32_t code);
  // A handshake under LimitWarnings(0): nothing of it is said.
  bool QuietTry() const { return limited != 0 && warningLimit == 0; }
  // Keeps a change for NextChange, when changes are kept; the state and read time are added.
  void Record(JogShuttleChange& change);
  bool RunHandshake();
  void ReportError(const wchar_t* format, js::sys::ErrorCode code, const wchar_t* portName);

  js::sys::Port portHandle;
  js::sys::Thread readerThread;
  js::sys::IoRecord overlapped;      // the reader's transfers
  js::sys::IoRecord sendOverlapped;  // Send's own, so a write never completes into a read
  js::SharedWord<std::int32_t> running{0};
  std::array<std::uint8_t, 256> rxBuffer{};  // at most 255 bytes in use
  std::uint32_t rxCount = 0;
  std::uint32_t portNumber;
  js::SharedWord<std::uint32_t> currentCode{0};
  js::SharedWord<std::uint32_t> sModifiers{0};
  js::SharedWord<std::uint32_t> cModifiers{0};
  js::SharedWord<std::uint32_t> heldKeys{0};
  js::SharedWord<std::uint32_t> statusC2{0};
  js::SharedWord<std::uint32_t> statusC0{0};
  js::SharedWord<std::uint32_t> statusC1{0};
  js::SharedWord<std::uint32_t> keys{0};
  js::SharedWord<std::uint32_t> sKeys{0};
  js::SharedWord<std::uint32_t> cKeys{0};
  js::SharedWord<std::uint32_t> scKeys{0};
  js::SharedWord<std::uint32_t> jogIncrements{0};
  js::SharedWord<std::uint32_t> jogDecrements{0};
  js::SharedWord<std::int32_t> shuttle{0};
  js::sys::Event inputEvent;
  js::SharedWord<std::int32_t> lineUp{0};  // 1 from Open's reader start until the line drops
  ReceiveTap receiveTap = nullptr;          // set only while no reader runs
  void* receiveTapContext = nullptr;
  std::uint32_t warningLimit = 0xFFFFFFFF;  // set only while no reader runs
  js::SharedWord<std::uint32_t> limited{0};  // 1 while the handshake runs under the limit
  std::uint32_t warningsLogged = 0;          // the reader's own, from Open on
  js::SharedWord<std::uint32_t> droppedWarnings{0};
  std::unique_ptr<js::ChangeQueue> changes;  // made only while no reader runs; null: none kept
  std::chrono::steady_clock::time_point readTime{};  // the reader's last read that brought bytes
};
