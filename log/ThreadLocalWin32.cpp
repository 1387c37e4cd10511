#include "ThreadLocal.h"

#include <windows.h>

namespace jslog::detail {
namespace {

struct Held {
  void* object;
  void (*destroy)(void*);
  DWORD gone;
};

// Runs when the thread ends, before the DLL detach calls in which later thread-locals may still log.
void NTAPI Release(void* data) {
  auto* held = static_cast<Held*>(data);
  TlsSetValue(held->gone, reinterpret_cast<void*>(1));
  held->destroy(held->object);
  delete held;
}

}  // namespace

WindowsSlot MakeWindowsSlot() { return {FlsAlloc(&Release), TlsAlloc()}; }

void* WindowsThreadObject(const WindowsSlot& slot, void* (*make)(), void (*destroy)(void*)) {
  if (slot.object == FLS_OUT_OF_INDEXES || slot.gone == TLS_OUT_OF_INDEXES) return nullptr;
  // The slot calls clear the thread's last error, which the line being logged may be about to read.
  const DWORD error = GetLastError();
  void* object = nullptr;
  if (TlsGetValue(slot.gone) == nullptr) {
    auto* held = static_cast<Held*>(FlsGetValue(slot.object));
    if (held == nullptr) {
      held = new Held{make(), destroy, slot.gone};
      if (!FlsSetValue(slot.object, held)) {
        destroy(held->object);
        delete held;
        held = nullptr;
      }
    }
    if (held != nullptr) object = held->object;
  }
  SetLastError(error);
  return object;
}

}  // namespace jslog::detail
