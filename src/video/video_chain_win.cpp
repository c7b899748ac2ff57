// The Windows build's video chain factory. The GPU chain (desktop
// duplication, the D3D11 composer and the hardware encoders) is not part of
// this build yet, so no chain can be made: the pipeline reports that no
// display output was found and retries every 2 seconds, and a record ends at
// its end time with nothing to write. The pipeline thread still gets its
// multithreaded COM apartment, which the GPU chain will need.
#include <objbase.h>

#include "engine/video_chain.h"

namespace kp {

namespace {

class WindowsVideoChainFactory : public VideoChainFactory {
 public:
  void EnterPipelineThread() override {
    comInitialized_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }
  void LeavePipelineThread() override {
    if (comInitialized_) CoUninitialize();
    comInitialized_ = false;
  }
  std::unique_ptr<VideoChain> CreateChain() override { return nullptr; }

 private:
  // Per thread: each pipeline run initializes its own thread.
  static thread_local bool comInitialized_;
};

thread_local bool WindowsVideoChainFactory::comInitialized_ = false;

}  // namespace

VideoChainFactory& PlatformVideoChainFactory() {
  static WindowsVideoChainFactory factory;
  return factory;
}

}  // namespace kp
