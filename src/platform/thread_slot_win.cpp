#include <windows.h>

#include <exception>

#include "platform/thread_slot.h"

namespace kp {

ThreadSlot::ThreadSlot() {
  const DWORD index = TlsAlloc();
  if (index == TLS_OUT_OF_INDEXES) std::terminate();
  key_ = index;
}

void* ThreadSlot::Get() const { return TlsGetValue(static_cast<DWORD>(key_)); }

void ThreadSlot::Set(void* value) { TlsSetValue(static_cast<DWORD>(key_), value); }

}  // namespace kp
