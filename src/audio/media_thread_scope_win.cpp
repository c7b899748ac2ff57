#include <windows.h>
#include <mfapi.h>
#include <objbase.h>

#include "audio/media_thread_scope.h"

namespace kp {

MediaThreadScope::MediaThreadScope() {
  comStarted_ = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  mediaStarted_ = SUCCEEDED(::MFStartup(MF_VERSION, MFSTARTUP_LITE));
}

MediaThreadScope::~MediaThreadScope() {
  if (mediaStarted_) ::MFShutdown();
  if (comStarted_) ::CoUninitialize();
}

}  // namespace kp
