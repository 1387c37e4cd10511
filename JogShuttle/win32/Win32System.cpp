// Sleep, error texts and events over Win32.

#include "WinApi.h"

#include <new>

#include "Platform.h"

namespace js::sys {

static_assert(sizeof(ErrorCode) == sizeof(DWORD));
static_assert(kInfinite == INFINITE);

static_assert(kErrorTimeout == ERROR_TIMEOUT);
static_assert((kErrorWaitLost & APPLICATION_ERROR_MASK) != 0);

void Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

namespace {

// The static initialisers run on the thread that then runs main, this one too. Only a handle to
// wait on; kept for the process's life, so never closed.
HANDLE OpenCurrentThread() {
  HANDLE thread = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                       SYNCHRONIZE, FALSE, 0)) {
    return nullptr;
  }
  return thread;
}

const HANDLE g_mainThread = OpenCurrentThread();

}  // namespace

bool MainThreadEnded() {
  return g_mainThread != nullptr && WaitForSingleObject(g_mainThread, 0) == WAIT_OBJECT_0;
}

void EndProcess(int status) {
  (void)TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));  // not reached unless the termination was refused
}

std::wstring ErrorText(ErrorCode code) {
  constexpr DWORD kFlags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
  constexpr DWORD kNeutralDefaultLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
  static_assert(kNeutralDefaultLanguage == 0x0400);

  // With FORMAT_MESSAGE_ALLOCATE_BUFFER the system writes the address of its own buffer here.
  LPWSTR buffer = nullptr;
  const DWORD length = FormatMessageW(kFlags, nullptr, code, kNeutralDefaultLanguage,
                                      reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  // No text for the code: nothing was allocated, so nothing is freed.
  if (length == 0 || buffer == nullptr) return kNoErrorText;
  // Used as it comes, with the system's own line ending.
  std::wstring text(buffer, length);
  LocalFree(buffer);
  return text;
}

struct Event::Impl {
  HANDLE handle = nullptr;  // null when creation failed: every wait then fails
};

Event::Event() : impl_(new (std::nothrow) Impl) {
  if (impl_) impl_->handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual reset, clear
}

Event::~Event() {
  if (impl_ && impl_->handle != nullptr) CloseHandle(impl_->handle);
}

void Event::Set() {
  if (impl_ && impl_->handle != nullptr) SetEvent(impl_->handle);
}

void Event::Reset() {
  if (impl_ && impl_->handle != nullptr) ResetEvent(impl_->handle);
}

std::intptr_t Event::Waitable() {
  return impl_ && impl_->handle != nullptr ? reinterpret_cast<std::intptr_t>(impl_->handle) : -1;
}

Event::WaitResult Event::Wait(std::uint32_t milliseconds) {
  if (!impl_ || impl_->handle == nullptr) return WaitResult::kFailed;
  switch (WaitForSingleObject(impl_->handle, milliseconds)) {
    case WAIT_OBJECT_0: return WaitResult::kSignalled;
    case WAIT_TIMEOUT: return WaitResult::kTimeout;
    default: return WaitResult::kFailed;
  }
}

}  // namespace js::sys
