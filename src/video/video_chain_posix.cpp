// The Linux build's video chain: the X11 display when there is one, else the
// stand-ins over a synthetic machine with three monitors on one adapter: the
// primary 1920x1080, a portrait monitor turned 90 degrees ("\\.\DISPLAY2",
// 1080x1920, delivered sideways as duplication does) and a 5120x1440 one
// ("\\.\DISPLAY3", above what H.264 encoders take).
#include <cstdlib>

#include "engine/video_chain.h"
#include "platform/stand_ins_posix.h"
#include "video/sim_video_chain.h"
#include "video/video_source_posix.h"
#include "video/x11_video_chain_posix.h"

namespace kp {

namespace {

bool UseX11() {
  static const bool useX11 = !StandInsRequired() && X11DisplayReachable();
  return useX11;
}

}  // namespace

VideoChainFactory& PlatformVideoChainFactory() {
  static SimVideoChainFactory sim([] {
    SimChainOptions options;
    options.moreOutputs = {
        {1080, 1920, 1920, 0, ImageRotation::Rotate90, L"\\\\.\\DISPLAY2", 0},
        {5120, 1440, 3000, 0, ImageRotation::Identity, L"\\\\.\\DISPLAY3", 0},
    };
    return options;
  }());
  static X11VideoChainFactory x11;
  if (UseX11()) return x11;
  return sim;
}

std::string PlatformVideoSourceName() {
  if (!UseX11()) return "the synthetic desktop (stand-in)";
  const char* display = std::getenv("DISPLAY");
  return std::string("the X11 display ") + (display != nullptr ? display : "");
}

}  // namespace kp
