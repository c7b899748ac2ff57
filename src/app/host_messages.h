// What worker threads post to the engine host, and how. A message carries a
// heap record that the host takes over when the post succeeds; when it
// fails (the host is gone) the record stays the poster's to free, as with a
// window message posted to a destroyed window.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "engine/engine.h"

namespace kp {

// Private window-message numbers (WM_APP based).
inline constexpr uint32_t kTrayCallbackMessage = 0x8001;
inline constexpr uint32_t kSaveFinishedMessage = 0x8002;    // payload: Engine::SaveResult*
inline constexpr uint32_t kUpdateAvailableMessage = 0x8003;  // payload: UpdateNotice*

// The new version (UTF-8) and the notes the update check returned.
using UpdateNotice = std::pair<std::string, std::string>;

// Posts without waiting; callable from any thread, also after the host has
// ended. True when the host took the payload; false leaves it with the caller.
using PostFunction = std::function<bool(uint32_t message, void* payload)>;

// Frees a payload of one of the messages above (for queues that are dropped
// unread).
void FreePostedPayload(uint32_t message, void* payload);

// Heap copies posted through `post`; freed here when the post fails.
bool PostSaveFinished(const PostFunction& post, const Engine::SaveResult& result);
bool PostUpdateAvailable(const PostFunction& post, std::string version, std::string notes);

}  // namespace kp
