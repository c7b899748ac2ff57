// The Linux build's video chain: the X11 display when there is one, else the
// stand-ins over a synthetic desktop.
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
  static SimVideoChainFactory sim;
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
