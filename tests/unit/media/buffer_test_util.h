// Packet and track builders shared by the replay buffer and clip tests.
// Payloads are a pure function of (stream, pts, size), so a test can check
// the bytes found on disk or in a clip file against the packet it pushed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/packet.h"
#include "media/replay_buffer.h"
#include "platform/clock.h"
#include "support/temp_folder.h"

namespace kp::test {

inline constexpr int64_t kSec = kTicksPerSecond;
inline constexpr int64_t kMs = kTicksPerMillisecond;

inline std::vector<uint8_t> PayloadFor(uint32_t stream, int64_t pts, size_t size) {
  std::vector<uint8_t> data(size);
  uint64_t x = static_cast<uint64_t>(pts) * 0x9E3779B97F4A7C15ull + stream * 0xC2B2AE3D27D4EB4Full + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    data[i] = static_cast<uint8_t>(x);
  }
  return data;
}

// Stream 0 is video, stream n the audio track n - 1 (always a keyframe).
inline std::shared_ptr<const EncodedPacket> Packet(uint32_t stream, int64_t pts, int64_t duration, bool keyframe,
                                                   size_t size) {
  auto p = std::make_shared<EncodedPacket>();
  p->pts = pts;
  p->duration = duration;
  p->keyframe = keyframe;
  p->data = PayloadFor(stream, pts, size);
  return p;
}
inline std::shared_ptr<const EncodedPacket> Video(int64_t pts, bool keyframe, int64_t duration = 100 * kMs,
                                                  size_t size = 100) {
  return Packet(0, pts, duration, keyframe, size);
}
inline std::shared_ptr<const EncodedPacket> Audio(int track, int64_t pts, int64_t duration = 20 * kMs,
                                                  size_t size = 40) {
  return Packet(static_cast<uint32_t>(track) + 1, pts, duration, true, size);
}

// A plausible baseline-profile parameter set pair; `variant` changes the SPS
// so two infos compare unequal.
inline VideoTrackInfo VideoInfo(uint8_t variant = 0) {
  VideoTrackInfo info;
  info.width = 64;
  info.height = 48;
  info.fps = 10;
  info.sps = {0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x01, 0x40, variant};
  info.pps = {0x68, 0xCE, 0x3C, 0x80};
  return info;
}

inline std::vector<AudioTrackInfo> AudioTracks(int count, const std::string& prefix = "Track ") {
  std::vector<AudioTrackInfo> tracks(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    tracks[i].name = prefix + std::to_string(i + 1);
    tracks[i].sampleRate = 48000;
    tracks[i].channels = 2;
    tracks[i].audioSpecificConfig = {0x11, 0x90};
  }
  return tracks;
}

// The payload bytes a record points at, read from its segment file.
inline std::string RecordBytes(const PacketRecord& record) {
  const std::string file = ReadFileBytes(record.segment->path);
  if (record.offset + record.size > file.size()) return "<beyond end of file>";
  return file.substr(record.offset, record.size);
}

inline std::string AsString(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

inline std::vector<int64_t> PtsOf(const std::vector<PacketRecord>& records) {
  std::vector<int64_t> pts;
  for (const PacketRecord& r : records) pts.push_back(r.pts);
  return pts;
}

// Waits until the writer indexed everything pushed so far (through the
// clip handshake) and returns the clip of everything buffered.
inline ReplayBuffer::Clip Everything(ReplayBuffer& buffer, int64_t now) {
  ReplayBuffer::Clip clip;
  buffer.TakeClip(now + 1000 * kSec, now, clip);
  return clip;
}

}  // namespace kp::test
