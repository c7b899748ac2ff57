#include "app/host_messages.h"

#include <memory>

namespace kp {

namespace {

template <typename T>
bool PostOwned(const PostFunction& post, uint32_t message, std::unique_ptr<T> payload) {
  if (!post || !post(message, payload.get())) return false;  // still ours: freed on return
  payload.release();
  return true;
}

}  // namespace

void FreePostedPayload(uint32_t message, void* payload) {
  switch (message) {
    case kSaveFinishedMessage: delete static_cast<Engine::SaveResult*>(payload); break;
    case kUpdateAvailableMessage: delete static_cast<UpdateNotice*>(payload); break;
    default: break;
  }
}

bool PostSaveFinished(const PostFunction& post, const Engine::SaveResult& result) {
  return PostOwned(post, kSaveFinishedMessage, std::make_unique<Engine::SaveResult>(result));
}

bool PostUpdateAvailable(const PostFunction& post, std::string version, std::string notes) {
  return PostOwned(post, kUpdateAvailableMessage,
                   std::make_unique<UpdateNotice>(std::move(version), std::move(notes)));
}

}  // namespace kp
