#include "export/input_probe.h"

#include <cmath>

namespace kp {

uint32_t DecideFps(uint32_t numerator, uint32_t denominator) {
  if (numerator == 0 || denominator == 0) return 60;
  const uint64_t rounded = (uint64_t{numerator} * 2 + denominator) / (uint64_t{denominator} * 2);
  if (rounded == 0) return 1;
  if (rounded > 240) return 240;
  return static_cast<uint32_t>(rounded);
}

bool DecideBt709(std::optional<uint32_t> yuvMatrix, uint32_t height) {
  if (yuvMatrix == 1u) return true;
  return yuvMatrix != 2u && height >= 720;
}

uint32_t SnapAudioBitrate(double kbps) {
  if (!(kbps > 0)) return 160;
  uint32_t best = 160;
  for (uint32_t candidate : {96u, 128u, 160u, 192u}) {
    if (std::fabs(kbps - candidate) < std::fabs(kbps - best)) best = candidate;
  }
  return best;
}

std::vector<SourceAudioTrack> ListSourceAudioTracks(const std::vector<SourceStream>& streams,
                                                    const std::vector<TrackDescription>& descriptions) {
  const size_t count = descriptions.size();
  bool byId = true;
  for (const SourceStream& stream : streams) byId = byId && (stream.kind != StreamKind::Audio || stream.streamId);

  struct Matched {
    SourceAudioTrack track;
    uint64_t order;  // the track ID; above every ID when none matched
  };
  std::vector<Matched> matched;
  for (const SourceStream& stream : streams) {
    if (stream.kind != StreamKind::Audio) continue;
    size_t position = count;
    if (byId) {
      for (size_t d = 0; d < count && position == count; ++d) {
        if (descriptions[d].trackId == *stream.streamId) position = d;
      }
    } else if (stream.index < count) {
      // Without identifiers: the reader numbers the streams in the reverse
      // of the file's trak order.
      position = count - 1 - stream.index;
    }
    if (position < count && !descriptions[position].sound) position = count;
    Matched m{{stream.index, {}, 0}, position < count ? descriptions[position].trackId : uint64_t{1} << 32};
    double kbps = 0;
    if (position < count) {
      m.track.name = descriptions[position].name;
      kbps = descriptions[position].bitrate;
    }
    if (!(kbps > 0)) kbps = static_cast<double>(stream.averageBytesPerSecond) * 8.0 / 1000.0;
    m.track.bitrate = SnapAudioBitrate(kbps);
    matched.push_back(std::move(m));
  }
  if (byId) {
    std::stable_sort(matched.begin(), matched.end(),
                     [](const Matched& a, const Matched& b) { return a.order < b.order; });
  }
  std::vector<SourceAudioTrack> tracks;
  for (Matched& m : matched) {
    if (m.track.name.empty()) m.track.name = "Audio " + std::to_string(tracks.size() + 1);
    tracks.push_back(std::move(m.track));
  }
  return tracks;
}

std::optional<InputInfo> DecideInputInfo(const SourceDescription& source,
                                         const std::vector<TrackDescription>& descriptions) {
  const SourceStream* video = nullptr;
  for (const SourceStream& stream : source.streams) {
    if (stream.kind == StreamKind::Video) {
      video = &stream;
      break;
    }
  }
  if (!video || !video->hasFrameSize || video->width < kMinFrameSize || video->height < kMinFrameSize) {
    return std::nullopt;
  }
  InputInfo info;
  info.duration = source.duration > static_cast<uint64_t>(INT64_MAX) ? 0 : static_cast<int64_t>(source.duration);
  info.width = video->width;
  info.height = video->height;
  info.fps = DecideFps(video->frameRateNumerator, video->frameRateDenominator);
  info.bt709 = DecideBt709(video->yuvMatrix, video->height);
  info.audioTracks = ListSourceAudioTracks(source.streams, descriptions);
  return info;
}

std::optional<InputInfo> ProbeInput(ExportMedia& media, Files& files, const std::wstring& input) {
  std::optional<SourceDescription> source = media.Describe(input);
  if (!source) return std::nullopt;
  bool hasAudio = false;
  for (const SourceStream& stream : source->streams) hasAudio = hasAudio || stream.kind == StreamKind::Audio;
  const std::vector<TrackDescription> descriptions =
      hasAudio ? ReadTrackDescriptions(files, input) : std::vector<TrackDescription>{};
  return DecideInputInfo(*source, descriptions);
}

}  // namespace kp
