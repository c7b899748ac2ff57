// The Linux build's video chain: the stand-ins over a synthetic machine with
// three monitors on one adapter: the primary 1920x1080, a portrait monitor
// turned 90 degrees ("\\.\DISPLAY2", 1080x1920, delivered sideways as
// duplication does) and a 5120x1440 one ("\\.\DISPLAY3", above what H.264
// encoders take).
#include "engine/video_chain.h"
#include "video/sim_video_chain.h"

namespace kp {

VideoChainFactory& PlatformVideoChainFactory() {
  static SimVideoChainFactory factory([] {
    SimChainOptions options;
    options.moreOutputs = {
        {1080, 1920, 1920, 0, ImageRotation::Rotate90, L"\\\\.\\DISPLAY2", 0},
        {5120, 1440, 3000, 0, ImageRotation::Identity, L"\\\\.\\DISPLAY3", 0},
    };
    return options;
  }());
  return factory;
}

}  // namespace kp
