// The seam over a scripted port, events and threads of the standard library. Every call takes
// the script's one lock, so the reader thread and the user's thread see one consistent port.

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "FaultScript.h"
#include "Platform.h"

namespace js::sys {
namespace fault {
namespace {

struct State {
  std::mutex lock;
  std::condition_variable changed;  // a wait outcome was pushed, the port closed, a call made
  std::map<Call, std::deque<Outcome>> scripted;
  std::deque<std::uint8_t> input;  // the driver's input queue
  std::vector<CallRecord> calls;
  std::vector<std::wstring> openedNames;
  std::vector<std::uint8_t> written;
  std::vector<LineSettings> lines;
  std::size_t statusMatched = 0;  // bytes of a get-status request seen so far
  bool answer = true;
  bool readerWaiting = false;  // a WaitEvent is blocked for want of an event
};

State& TheState() {
  static State state;
  return state;
}

// Under the lock: the scripted outcome of this call, if there is one.
bool TakeScripted(State& state, Call call, Outcome& outcome) {
  auto found = state.scripted.find(call);
  if (found == state.scripted.end() || found->second.empty()) return false;
  outcome = found->second.front();
  found->second.pop_front();
  return true;
}

void RecordCall(State& state, Call call, Outcome outcome) {
  state.calls.push_back({call, outcome});
  state.changed.notify_all();
}

void QueueInput(State& state, const std::uint8_t* bytes, std::size_t count) {
  state.input.insert(state.input.end(), bytes, bytes + count);
  state.scripted[Call::kWaitEvent].push_back({kSuccess, kEventReceiveChar});
  state.changed.notify_all();
}

std::uint32_t TakeInput(State& state, void* buffer, std::uint32_t wanted) {
  const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(wanted, state.input.size()));
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::copy_n(state.input.begin(), n, out);
  state.input.erase(state.input.begin(), state.input.begin() + n);
  return n;
}

void TakeWritten(State& state, const std::uint8_t* bytes, std::uint32_t count) {
  static constexpr std::uint8_t kRequest[] = {0x40, 0x41, 0x42};
  for (std::uint32_t i = 0; i < count; ++i) {
    state.written.push_back(bytes[i]);
    if (bytes[i] == kRequest[state.statusMatched]) {
      if (++state.statusMatched == sizeof kRequest) {
        state.statusMatched = 0;
        if (state.answer) QueueInput(state, kStatusReply, sizeof kStatusReply);
      }
    } else {
      state.statusMatched = bytes[i] == kRequest[0] ? 1 : 0;
    }
  }
}

}  // namespace

std::wstring TextOf(ErrorCode code) { return L"fault text " + std::to_wstring(code); }

void Reset() {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  state.scripted.clear();
  state.input.clear();
  state.calls.clear();
  state.openedNames.clear();
  state.written.clear();
  state.lines.clear();
  state.statusMatched = 0;
  state.answer = true;
  state.readerWaiting = false;
}

void Push(Call call, Outcome outcome) {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  state.scripted[call].push_back(outcome);
  state.changed.notify_all();
}

void Receive(const std::vector<std::uint8_t>& bytes) {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  QueueInput(state, bytes.data(), bytes.size());
}

void ScriptAndReceive(const std::vector<std::pair<Call, Outcome>>& script,
                      const std::vector<std::uint8_t>& bytes) {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  for (const auto& [call, outcome] : script) state.scripted[call].push_back(outcome);
  QueueInput(state, bytes.data(), bytes.size());
}

void AnswerStatusRequests(bool answer) {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  state.answer = answer;
}

std::vector<CallRecord> Calls() {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.calls;
}

std::size_t CountOf(Call call) {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  return static_cast<std::size_t>(std::count_if(state.calls.begin(), state.calls.end(),
                                                [call](const CallRecord& r) { return r.call == call; }));
}

bool WaitForCount(Call call, std::size_t count, std::chrono::milliseconds timeout) {
  State& state = TheState();
  std::unique_lock<std::mutex> guard(state.lock);
  return state.changed.wait_for(guard, timeout, [&] {
    return static_cast<std::size_t>(std::count_if(
               state.calls.begin(), state.calls.end(),
               [call](const CallRecord& r) { return r.call == call; })) >= count;
  });
}

std::vector<std::wstring> OpenedNames() {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.openedNames;
}

std::vector<std::uint8_t> Written() {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.written;
}

std::vector<LineSettings> LineSettingsWritten() {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.lines;
}

bool WaitUntilIdle(std::chrono::milliseconds timeout) {
  State& state = TheState();
  std::unique_lock<std::mutex> guard(state.lock);
  return state.changed.wait_for(guard, timeout, [&] {
    return state.readerWaiting && state.input.empty() && state.scripted[Call::kWaitEvent].empty();
  });
}

std::size_t QueuedBytes() {
  State& state = TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.input.size();
}

}  // namespace fault

using fault::Call;
using fault::Outcome;

void Sleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::wstring ErrorText(ErrorCode code) { return fault::TextOf(code); }

bool MainThreadEnded() { return false; }

void EndProcess(int status) { std::_Exit(status); }

// --- Events ---

struct Event::Impl {
  std::mutex lock;
  std::condition_variable changed;
  bool signalled = false;
};

Event::Event() : impl_(std::make_unique<Impl>()) {}
Event::~Event() = default;

void Event::Set() {
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->signalled = true;
  }
  impl_->changed.notify_all();
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->signalled = false;
}

// The scripted platform has nothing the system could wait on.
std::intptr_t Event::Waitable() { return -1; }

Event::WaitResult Event::Wait(std::uint32_t milliseconds) {
  {
    fault::State& state = fault::TheState();
    std::lock_guard<std::mutex> guard(state.lock);
    Outcome outcome;
    const bool failed = fault::TakeScripted(state, Call::kEventWait, outcome);
    fault::RecordCall(state, Call::kEventWait, outcome);
    if (failed && outcome.code != kSuccess) return WaitResult::kFailed;
  }
  std::unique_lock<std::mutex> guard(impl_->lock);
  auto isSet = [this] { return impl_->signalled; };
  if (milliseconds == kInfinite) {
    impl_->changed.wait(guard, isSet);
    return WaitResult::kSignalled;
  }
  return impl_->changed.wait_for(guard, std::chrono::milliseconds(milliseconds), isSet)
             ? WaitResult::kSignalled
             : WaitResult::kTimeout;
}

// --- Completion records ---

struct IoRecord::Impl {
  void* buffer = nullptr;  // where a pending read puts its bytes
  const std::uint8_t* bytes = nullptr;  // what a pending write sends
  std::uint32_t count = 0;
};

IoRecord::IoRecord() : impl_(std::make_unique<Impl>()) {}
IoRecord::~IoRecord() = default;

// --- The port ---

struct Port::Impl {
  bool open = false;  // under the script's lock
};

namespace {

// One call on the port: its scripted outcome or `normal`, which runs on an open port only.
template <typename Normal>
Outcome PortCall(Port::Impl& port, Call call, Normal normal) {
  fault::State& state = fault::TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  Outcome outcome;
  if (!fault::TakeScripted(state, call, outcome)) {
    outcome = port.open ? normal(state) : Outcome{fault::kNotOpen, 0};
  }
  fault::RecordCall(state, call, outcome);
  return outcome;
}

}  // namespace

Port::Port() : impl_(std::make_unique<Impl>()) {}
Port::~Port() { Close(); }

bool Port::IsOpen() const {
  std::lock_guard<std::mutex> guard(fault::TheState().lock);
  return impl_->open;
}

ErrorCode Port::Open(const wchar_t* name) {
  fault::State& state = fault::TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  state.openedNames.emplace_back(name);
  Outcome outcome;
  if (impl_->open) {
    outcome.code = 170;  // ERROR_BUSY
  } else if (!fault::TakeScripted(state, Call::kOpen, outcome) || outcome.code == kSuccess) {
    impl_->open = true;
  }
  fault::RecordCall(state, Call::kOpen, outcome);
  return outcome.code;
}

ErrorCode Port::SetEventMask(std::uint32_t) {
  return PortCall(*impl_, Call::kSetEventMask, [](fault::State&) { return Outcome{}; }).code;
}

ErrorCode Port::SetQueueSizes(std::uint32_t, std::uint32_t) {
  return PortCall(*impl_, Call::kSetQueueSizes, [](fault::State&) { return Outcome{}; }).code;
}

ErrorCode Port::Purge() {
  return PortCall(*impl_, Call::kPurge, [](fault::State& state) {
           state.input.clear();
           return Outcome{};
         }).code;
}

ErrorCode Port::SetTimeouts(const Timeouts&) {
  return PortCall(*impl_, Call::kSetTimeouts, [](fault::State&) { return Outcome{}; }).code;
}

ErrorCode Port::ReadLineSettings(LineSettings& settings) {
  settings = LineSettings{};
  LineSettings read{};
  const ErrorCode code = PortCall(*impl_, Call::kReadLineSettings, [&](fault::State&) {
                           read = fault::kPortDefaults;
                           return Outcome{};
                         }).code;
  if (code == kSuccess) settings = read;
  return code;
}

ErrorCode Port::WriteLineSettings(const LineSettings& settings) {
  fault::State& state = fault::TheState();
  {
    std::lock_guard<std::mutex> guard(state.lock);
    state.lines.push_back(settings);
  }
  return PortCall(*impl_, Call::kWriteLineSettings, [](fault::State&) { return Outcome{}; }).code;
}

// The bound is the script's: a wait that passes it is a scripted kErrorTimeout.
ErrorCode Port::WaitEvent(std::uint32_t& mask, std::uint32_t /*milliseconds*/) {
  mask = 0;
  fault::State& state = fault::TheState();
  std::unique_lock<std::mutex> guard(state.lock);
  Outcome outcome{fault::kNotOpen, 0};
  if (impl_->open) {
    auto done = [&] { return !impl_->open || fault::TakeScripted(state, Call::kWaitEvent, outcome); };
    if (!done()) {
      state.readerWaiting = true;
      state.changed.notify_all();
      state.changed.wait(guard, done);
      state.readerWaiting = false;
    }
    if (!impl_->open) outcome = Outcome{fault::kAborted, 0};
  }
  fault::RecordCall(state, Call::kWaitEvent, outcome);
  mask = outcome.value;
  return outcome.code;
}

ErrorCode Port::QueuedInput(std::uint32_t& count) {
  count = 0;
  const Outcome outcome = PortCall(*impl_, Call::kQueuedInput, [](fault::State& state) {
    return Outcome{kSuccess, static_cast<std::uint32_t>(state.input.size())};
  });
  if (outcome.code == kSuccess) count = outcome.value;
  return outcome.code;
}

ErrorCode Port::Read(void* buffer, std::uint32_t count, IoRecord& record,
                     std::uint32_t& transferred) {
  transferred = 0;
  fault::State& state = fault::TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  record.impl() = IoRecord::Impl{buffer, nullptr, count};
  Outcome outcome;
  if (!impl_->open) {
    outcome = {fault::kNotOpen, 0};
  } else if (fault::TakeScripted(state, Call::kRead, outcome)) {
    // Bytes move only when the read says it succeeded; the count is reported as scripted.
    if (outcome.code == kSuccess) fault::TakeInput(state, buffer, std::min(outcome.value, count));
  } else {
    outcome = {kSuccess, fault::TakeInput(state, buffer, count)};
  }
  fault::RecordCall(state, Call::kRead, outcome);
  transferred = outcome.value;
  return outcome.code;
}

ErrorCode Port::Write(const void* bytes, std::uint32_t count, IoRecord& record,
                      std::uint32_t& transferred) {
  transferred = 0;
  fault::State& state = fault::TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  const auto* data = static_cast<const std::uint8_t*>(bytes);
  record.impl() = IoRecord::Impl{nullptr, data, count};
  Outcome outcome;
  if (!impl_->open) {
    outcome = {fault::kNotOpen, 0};
  } else if (fault::TakeScripted(state, Call::kWrite, outcome)) {
    if (outcome.code == kSuccess) fault::TakeWritten(state, data, std::min(outcome.value, count));
  } else {
    fault::TakeWritten(state, data, count);
    outcome = {kSuccess, count};
  }
  fault::RecordCall(state, Call::kWrite, outcome);
  transferred = outcome.value;
  return outcome.code;
}

ErrorCode Port::AwaitResult(IoRecord& record, std::uint32_t& transferred) {
  transferred = 0;
  fault::State& state = fault::TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  IoRecord::Impl& io = record.impl();
  Outcome outcome;
  const bool scripted = fault::TakeScripted(state, Call::kAwaitResult, outcome);
  if (!scripted) outcome = {kSuccess, io.count};
  // What the transfer moved before it ended, failed or not.
  const std::uint32_t moved = std::min(outcome.value, io.count);
  if (io.buffer != nullptr) {
    const std::uint32_t got = fault::TakeInput(state, io.buffer, moved);
    if (!scripted) outcome.value = got;
  } else if (io.bytes != nullptr) {
    fault::TakeWritten(state, io.bytes, moved);
  }
  if (outcome.code != kErrorIoIncomplete) io = IoRecord::Impl{};  // else still under way
  fault::RecordCall(state, Call::kAwaitResult, outcome);
  transferred = outcome.value;
  return outcome.code;
}

void Port::CloseWithin(std::uint32_t) { Close(); }

void Port::Close() {
  fault::State& state = fault::TheState();
  std::lock_guard<std::mutex> guard(state.lock);
  if (!impl_->open) return;
  impl_->open = false;
  state.input.clear();
  fault::RecordCall(state, Call::kClose, Outcome{});
}

// --- Threads ---

struct Thread::Impl {
  std::thread thread;
  bool started = false;
  std::mutex lock;
  std::condition_variable endedChanged;
  bool ended = false;

  void Join() {
    if (thread.joinable()) thread.join();
  }
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}
Thread::~Thread() { Release(); }

bool Thread::Start(Entry entry, void* parameter) {
  if (impl_->started) return false;
  impl_->ended = false;
  Impl* impl = impl_.get();
  impl_->thread = std::thread([impl, entry, parameter] {
    entry(parameter);
    {
      std::lock_guard<std::mutex> guard(impl->lock);
      impl->ended = true;
    }
    impl->endedChanged.notify_all();
  });
  impl_->started = true;
  return true;
}

bool Thread::IsStarted() const { return impl_->started; }

void Thread::RaisePriority() {}

bool Thread::WaitForExit(std::uint32_t milliseconds) {
  if (!impl_->started) return true;
  std::unique_lock<std::mutex> guard(impl_->lock);
  auto hasEnded = [this] { return impl_->ended; };
  if (milliseconds == kInfinite) {
    impl_->endedChanged.wait(guard, hasEnded);
    return true;
  }
  return impl_->endedChanged.wait_for(guard, std::chrono::milliseconds(milliseconds), hasEnded);
}

std::intptr_t Thread::Waitable() const { return -1; }

void Thread::ForceEnd() { impl_->Join(); }

void Thread::Release() {
  impl_->Join();
  impl_->started = false;
}

}  // namespace js::sys
