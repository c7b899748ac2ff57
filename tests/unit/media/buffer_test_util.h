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

inline std::string PayloadFor(uint32_t stream, int64_t pts, size_t size) {
  std::string data(size, '\0');
  uint64_t x = static_cast<uint64_t>(pts) * 0x9E3779B97F4A7C15ull + stream * 0xC2B2AE3D27D4EB4Full + 1;
  for (char& c : data) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<char>(x);
  }
  return data;
}

// Stream 0 is video, stream n the audio track n - 1 (always a keyframe).
inline std::shared_ptr<const EncodedPacket> Packet(uint32_t stream, int64_t pts, int64_t duration, bool keyframe,
                                                   size_t size) {
  const std::string data = PayloadFor(stream, pts, size);
  return std::make_shared<EncodedPacket>(EncodedPacket{pts, duration, keyframe, {data.begin(), data.end()}});
}
inline std::shared_ptr<const EncodedPacket> Video(int64_t pts, bool keyframe, int64_t duration = 100 * kMs,
                                                  size_t size = 100) {
  return Packet(0, pts, duration, keyframe, size);
}
inline std::shared_ptr<const EncodedPacket> Audio(int track, int64_t pts, int64_t duration = 20 * kMs,
                                                  size_t size = 40) {
  return Packet(static_cast<uint32_t>(track) + 1, pts, duration, true, size);
}

// `variant` changes the SPS so two infos compare unequal.
inline VideoTrackInfo VideoInfo(uint8_t variant = 0) {
  return {0, 64, 48, 10, {0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x01, 0x40, variant}, {0x68, 0xCE, 0x3C, 0x80}};
}

inline std::vector<AudioTrackInfo> AudioTracks(int count, const std::string& prefix = "Track ") {
  std::vector<AudioTrackInfo> tracks;
  for (int i = 1; i <= count; ++i) tracks.push_back({prefix + std::to_string(i), 48000, 2, {0x11, 0x90}});
  return tracks;
}

// The payload bytes a record points at, read from its segment file.
inline std::string RecordBytes(const PacketRecord& record) {
  const std::string file = ReadFileBytes(record.segment->path);
  return record.offset + record.size > file.size() ? "<beyond end of file>" : file.substr(record.offset, record.size);
}

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
