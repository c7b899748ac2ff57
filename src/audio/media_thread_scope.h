// Prepares the calling thread for the platform's media framework for as long
// as the scope lives: on Windows COM (multithreaded) and Media Foundation
// (lite), which the AAC transform needs; nothing on Linux.
#pragma once

namespace kp {

class MediaThreadScope {
 public:
  MediaThreadScope();
  ~MediaThreadScope();
  MediaThreadScope(const MediaThreadScope&) = delete;
  MediaThreadScope& operator=(const MediaThreadScope&) = delete;

 private:
  bool comStarted_ = false;
  bool mediaStarted_ = false;
};

}  // namespace kp
