#include "export/export_audio.h"

#include <algorithm>
#include <cstdlib>

#include "app/log.h"

namespace kp {

int64_t TicksToFrame(int64_t ticks) {
  constexpr int64_t kTicks = 10'000'000;
  int64_t seconds = ticks / kTicks;
  int64_t rest = ticks % kTicks;
  if (rest < 0) {  // floor, so the rest is 0..kTicks-1
    rest += kTicks;
    --seconds;
  }
  return seconds * kExportSampleRate + (rest * kExportSampleRate + kTicks / 2) / kTicks;
}

void PcmAssembler::BeginSegment(int64_t s0, int64_t s1) {
  segmentBegin_ = samples_.size();
  pos_ = s0;
  s1_ = s1;
  havePrevious_ = false;
}

void PcmAssembler::Silence(int64_t until) {
  if (until <= pos_) return;
  samples_.resize(samples_.size() + static_cast<size_t>(until - pos_) * 2, 0);
  pos_ = until;
}

void PcmAssembler::Add(int64_t p, const int16_t* frames, int64_t count) {
  // Small jitter against the previous block's end counts as contiguous.
  if (havePrevious_ && std::llabs(previousEnd_ - p) < kLateFramesForGap) p = previousEnd_;
  havePrevious_ = true;
  previousEnd_ = p + count;
  if (p > pos_) Silence(std::min(p, s1_));
  const int64_t from = std::max(pos_, p);
  const int64_t to = std::min(p + count, s1_);
  if (to <= from) return;
  const int16_t* begin = frames + (from - p) * 2;
  samples_.insert(samples_.end(), begin, begin + (to - from) * 2);
  pos_ = to;
}

void PcmAssembler::FinishWithSilence() { Silence(s1_); }

void PcmAssembler::Fade(bool fadeIn, bool fadeOut) {
  int16_t* segment = samples_.data() + segmentBegin_;
  const int64_t m = static_cast<int64_t>(samples_.size() - segmentBegin_) / 2;
  const int64_t length = std::min<int64_t>(m / 2, kMaxFadeFrames);
  if (length <= 0) return;
  auto scale = [&](int64_t frame, int64_t k) {
    for (int c = 0; c < 2; ++c) {
      int16_t& s = segment[frame * 2 + c];
      s = static_cast<int16_t>(int64_t{s} * k / length);
    }
  };
  for (int64_t k = 0; k < length; ++k) {
    if (fadeIn) scale(k, k);
    if (fadeOut) scale(m - 1 - k, k);
  }
}

bool ExportAudioTrack(ExportMedia& media, const std::wstring& input, const SourceAudioTrack& track,
                      const std::vector<ExportSegment>& segments, int64_t sourceDuration, int64_t videoEnd,
                      const std::atomic<bool>& cancel, const AacCodecFactory& codec, ExportedAudioTrack& out) {
  std::unique_ptr<AudioTrackReader> reader = media.OpenAudioTrack(input, track.streamIndex);
  if (!reader) return false;
  if (!reader->SelectPcm48kStereo()) {
    Log("export: audio track '%s' can't be decoded to 48 kHz stereo, leaving it out", track.name.c_str());
    return false;
  }

  PcmAssembler pcm;
  for (const ExportSegment& segment : segments) {
    const int64_t s0 = TicksToFrame(segment.start);
    const bool inputEndsHere = videoEnd < segment.end;
    const int64_t s1 = inputEndsHere ? std::clamp(TicksToFrame(videoEnd), s0, TicksToFrame(segment.end))
                                     : TicksToFrame(segment.end);
    pcm.BeginSegment(s0, s1);
    reader->Seek(segment.start);
    if (s0 < s1) {
      while (!pcm.Done()) {
        if (cancel.load()) return false;
        PcmBlock block;
        const ReadStatus status = reader->Read(&block);
        if (status == ReadStatus::EndOfStream && inputEndsHere) break;
        if (status == ReadStatus::Failed || status == ReadStatus::EndOfStream) {
          pcm.FinishWithSilence();
          break;
        }
        if (status == ReadStatus::NoSample) continue;
        pcm.Add(TicksToFrame(block.time), block.frames, block.frameCount);
      }
    }
    const bool fadeIn = segment.start > 0;
    const bool fadeOut = sourceDuration < 1 || segment.end < sourceDuration;
    pcm.Fade(fadeIn, fadeOut);
  }

  AacEncoder encoder(codec);
  if (!encoder.Initialize(track.bitrate)) return false;
  out = ExportedAudioTrack{};
  const int64_t total = pcm.Frames();
  for (int64_t i = 0; i < total; i += kEncodeBlockFrames) {
    const auto frames = static_cast<uint32_t>(std::min<int64_t>(kEncodeBlockFrames, total - i));
    encoder.Encode(pcm.Samples().data() + i * 2, frames, i * 10'000'000 / kExportSampleRate, out.packets);
  }
  encoder.Flush(out.packets);
  out.info.name = track.name;
  out.info.sampleRate = kExportSampleRate;
  out.info.channels = 2;
  out.info.audioSpecificConfig = AacEncoder::AudioSpecificConfig();
  return !out.packets.empty();
}

}  // namespace kp
