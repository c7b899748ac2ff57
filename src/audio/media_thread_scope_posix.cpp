#include "audio/media_thread_scope.h"

namespace kp {

// libavcodec needs no per-thread set-up; the flags only record that.
MediaThreadScope::MediaThreadScope() { comStarted_ = mediaStarted_ = false; }
MediaThreadScope::~MediaThreadScope() = default;

}  // namespace kp
