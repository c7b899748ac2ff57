// One audio track of an export: the kept segments decoded to 48 kHz stereo,
// holes filled with silence so the track is exactly as long as the kept
// time, every cut softened with a short linear fade, and re-encoded to AAC
// on the output time line from 0.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "audio/aac_codec.h"
#include "audio/aac_encoder.h"
#include "export/export_media.h"
#include "export/export_segments.h"
#include "export/input_probe.h"
#include "media/packet.h"

namespace kp {

inline constexpr uint32_t kExportSampleRate = 48'000;
inline constexpr int64_t kLateFramesForGap = 3;  // later than this leaves a gap
inline constexpr int64_t kMaxFadeFrames = 240;   // 5 ms
inline constexpr uint32_t kEncodeBlockFrames = 4'096;

// Ticks to a 48 kHz frame position, rounded to nearest (halves up). Exact for
// every tick count, negative ones and kUnknownDurationEnd included: the whole
// seconds and the rest are scaled apart, so nothing overflows.
int64_t TicksToFrame(int64_t ticks);

struct ExportedAudioTrack {
  AudioTrackInfo info;
  AudioPacketList packets;
};

// Interleaved stereo PCM of one track, built segment by segment.
class PcmAssembler {
 public:
  // Starts a segment covering frames [s0, s1) of the source.
  void BeginSegment(int64_t s0, int64_t s1);
  // Places a decoded block that starts at frame `p`; parts outside the
  // segment or already covered are dropped, a hole before it is silence.
  void Add(int64_t p, const int16_t* frames, int64_t count);
  // Fills the rest of the segment with silence.
  void FinishWithSilence();
  bool Done() const { return pos_ >= s1_; }
  // Fades the segment's frames: in when `fadeIn`, out when `fadeOut`, over
  // min(frames / 2, 240) frames each.
  void Fade(bool fadeIn, bool fadeOut);

  const std::vector<int16_t>& Samples() const { return samples_; }
  int64_t Frames() const { return static_cast<int64_t>(samples_.size() / 2); }

 private:
  void Silence(int64_t until);

  std::vector<int16_t> samples_;
  size_t segmentBegin_ = 0;  // sample index where this segment's frames start
  int64_t pos_ = 0;
  int64_t s1_ = 0;
  bool havePrevious_ = false;
  int64_t previousEnd_ = 0;
};

// Exports `track` over `segments`; `videoEnd` is where the last picture the
// export encoded ends on the source time line. Each segment gets frames
// [s0, s1) of the source, holes and a stream that stops early filled with
// silence, so later segments keep their place; only the segment in which the
// input itself ends (videoEnd before the segment's end) ends early: at the
// earlier of the audio stream's end and videoEnd, with no silence after it.
// False when the track is left out (with
// "export: audio track '%s' can't be decoded to 48 kHz stereo, leaving it
// out" when the reader refuses the format) or when the cancel flag was seen.
bool ExportAudioTrack(ExportMedia& media, const std::wstring& input, const SourceAudioTrack& track,
                      const std::vector<ExportSegment>& segments, int64_t sourceDuration, int64_t videoEnd,
                      const std::atomic<bool>& cancel, const AacCodecFactory& codec, ExportedAudioTrack& out);

}  // namespace kp
