#include <pthread.h>

#include <exception>

#include "platform/thread_slot.h"

namespace kp {

ThreadSlot::ThreadSlot() {
  pthread_key_t key;
  if (pthread_key_create(&key, nullptr) != 0) std::terminate();
  key_ = static_cast<unsigned long>(key);
}

void* ThreadSlot::Get() const { return pthread_getspecific(static_cast<pthread_key_t>(key_)); }

// The first keys live in each thread's own fixed table: setting one does not allocate.
void ThreadSlot::Set(void* value) { pthread_setspecific(static_cast<pthread_key_t>(key_), value); }

}  // namespace kp
