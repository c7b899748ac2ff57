#include <windows.h>
#include <mfapi.h>
#include <objbase.h>

#include "audio/media_thread_scope.h"
#include "platform/media_foundation_win.h"

namespace kp {

MediaThreadScope::MediaThreadScope() {
  comStarted_ = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  mediaStarted_ = SUCCEEDED(mf::Startup(MF_VERSION, MFSTARTUP_LITE));
}

MediaThreadScope::~MediaThreadScope() {
  if (mediaStarted_) mf::Shutdown();
  if (comStarted_) ::CoUninitialize();
}

}  // namespace kp
