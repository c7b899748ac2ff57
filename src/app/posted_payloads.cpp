#include "app/posted_payloads.h"

namespace kp {

bool PostedPayloads::Post(uint32_t message, void* payload, const std::function<bool(uint32_t, void*)>& post) {
  // Recorded before the post, under the lock the receiver takes, so the
  // window can never see its own record unrecorded.
  std::lock_guard lock(mutex_);
  if (closed_ || payload == nullptr || !pending_.emplace(payload, message).second) return false;
  if (post(message, payload)) return true;
  pending_.erase(payload);
  return false;
}

bool PostedPayloads::Take(uint32_t message, void* payload) {
  std::lock_guard lock(mutex_);
  const auto found = pending_.find(payload);
  if (found == pending_.end() || found->second != message) return false;
  pending_.erase(found);
  return true;
}

void PostedPayloads::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

}  // namespace kp
