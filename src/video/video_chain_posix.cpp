// The Linux build's video chain: the stand-ins over a synthetic desktop.
#include "engine/video_chain.h"
#include "video/sim_video_chain.h"

namespace kp {

VideoChainFactory& PlatformVideoChainFactory() {
  static SimVideoChainFactory factory;
  return factory;
}

}  // namespace kp
