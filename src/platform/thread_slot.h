// One pointer per thread, read and written without allocating, so that the
// logging path can consult it (the C++ thread_local of the MinGW runtime
// allocates a thread's block on its first use). A slot lives for the whole
// process: it is never released, so threads may still use it during exit;
// make each one a static.
#pragma once

namespace kp {

class ThreadSlot {
 public:
  // Reserves the slot; every thread starts with null in it. A process that
  // runs out of slots cannot keep its log, so that is fatal (std::terminate).
  ThreadSlot();
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;

  // The calling thread's value.
  void* Get() const;
  void Set(void* value);

 private:
  unsigned long key_ = 0;
};

}  // namespace kp
