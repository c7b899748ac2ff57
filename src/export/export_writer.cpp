#include "export/export_writer.h"

#include <algorithm>

#include "media/mp4_writer.h"

namespace kp {

std::vector<InterleaveEntry> Interleave(const std::vector<SpilledVideoPacket>& video,
                                        const std::vector<ExportedAudioTrack>& audio) {
  std::vector<InterleaveEntry> entries;
  for (size_t i = 0; i < video.size(); ++i) entries.push_back({video[i].pts, 0, i});
  for (size_t t = 0; t < audio.size(); ++t) {
    for (size_t i = 0; i < audio[t].packets.size(); ++i) {
      entries.push_back({audio[t].packets[i]->pts, static_cast<uint32_t>(t + 1), i});
    }
  }
  std::stable_sort(entries.begin(), entries.end(), [](const InterleaveEntry& a, const InterleaveEntry& b) {
    return a.pts != b.pts ? a.pts < b.pts : a.track < b.track;
  });
  return entries;
}

bool WriteExportFile(Files& files, const std::wstring& output, const VideoTrackInfo& videoInfo, VideoSpill& video,
                     const std::vector<ExportedAudioTrack>& audio, const std::atomic<bool>& cancel,
                     const std::function<void(double)>& progress, uint64_t* payloadBytes) {
  Mp4Writer writer(files);
  const int videoTrack = writer.AddVideoTrack(videoInfo);
  std::vector<int> audioTracks;
  for (const ExportedAudioTrack& track : audio) audioTracks.push_back(writer.AddAudioTrack(track.info));

  const std::vector<SpilledVideoPacket>& packets = video.Packets();
  const std::vector<InterleaveEntry> entries = Interleave(packets, audio);
  std::vector<uint64_t> videoOffsets(packets.size());
  std::vector<std::vector<uint64_t>> audioOffsets(audio.size());
  for (size_t t = 0; t < audio.size(); ++t) audioOffsets[t].resize(audio[t].packets.size());
  uint64_t offset = 0;
  for (const InterleaveEntry& e : entries) {
    if (e.track == 0) {
      videoOffsets[e.index] = offset;
      offset += packets[e.index].size;
    } else {
      audioOffsets[e.track - 1][e.index] = offset;
      offset += audio[e.track - 1].packets[e.index]->data.size();
    }
  }
  *payloadBytes = offset;

  for (size_t i = 0; i < packets.size(); ++i) {
    const SpilledVideoPacket& p = packets[i];
    writer.AddSample(videoTrack, SampleEntry{p.pts, p.duration, p.keyframe, p.size, videoOffsets[i], nullptr});
  }
  for (size_t t = 0; t < audio.size(); ++t) {
    for (size_t i = 0; i < audio[t].packets.size(); ++i) {
      const EncodedPacket& p = *audio[t].packets[i];
      writer.AddSample(audioTracks[t], SampleEntry{p.pts, p.duration, p.keyframe, static_cast<uint32_t>(p.data.size()),
                                                   audioOffsets[t][i], nullptr});
    }
  }
  if (progress) writer.onProgress = [&progress](double p) { progress(0.92 + 0.08 * p); };

  std::vector<uint8_t> buffer;
  const PayloadProducer producer = [&](const ByteSink& sink) {
    for (const InterleaveEntry& e : entries) {
      if (cancel.load()) return false;
      if (e.track == 0) {
        if (!video.Read(packets[e.index], buffer) || !sink(buffer.data(), buffer.size())) return false;
      } else {
        const std::vector<uint8_t>& data = audio[e.track - 1].packets[e.index]->data;
        if (!sink(data.data(), data.size())) return false;
      }
    }
    return true;
  };
  return writer.Write(output, offset, producer);
}

}  // namespace kp
