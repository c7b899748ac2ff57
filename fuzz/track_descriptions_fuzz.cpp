// libFuzzer target for the MP4 box walk that names a clip's tracks. Any
// bytes must be walked without reading outside them, and every bit rate
// must be a finite, non-negative number.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "export/track_descriptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kp::MemoryByteSource source(data, size);
  for (const kp::TrackDescription& track : kp::ReadTrackDescriptions(source)) {
    if (!std::isfinite(track.bitrate) || track.bitrate < 0) {
      std::fprintf(stderr, "bit rate %f\n", track.bitrate);
      std::abort();
    }
  }
  return 0;
}
