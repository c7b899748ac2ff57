// The heap records this process has posted to its engine window and the
// window has not taken yet. The window is a top-level window that any
// program can post to, so an lParam of a save-finished or update message is
// trusted only when it is one of these; anything else is a foreign message
// and is never touched. Thread-safe: workers post, the host thread takes.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>

namespace kp {

class PostedPayloads {
 public:
  // Records `payload` as posted with `message`, then posts it with `post`
  // (the raw window post). A failed post forgets it again and leaves it
  // with the caller, as does every post after Close.
  bool Post(uint32_t message, void* payload, const std::function<bool(uint32_t, void*)>& post);
  // True when `payload` was posted with `message` and not taken yet; it is
  // forgotten and the caller owns it now.
  bool Take(uint32_t message, void* payload);
  // Refuses later posts. Once it returns, every record posted and not taken
  // is in the window's queue, ready to be drained.
  void Close();

 private:
  std::mutex mutex_;
  bool closed_ = false;
  std::unordered_map<void*, uint32_t> pending_;
};

}  // namespace kp
