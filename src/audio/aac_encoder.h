// AAC-LC encoding of 48 kHz stereo 16-bit PCM in blocks of 1,024 frames into
// raw access units. Packet time stamps do not come from the codec: packet n
// is stamped first-input-time + n * 1,024 frames, so a track's time line is
// gap-free and drift-free whatever priming delay the codec has, and a lost
// block never shifts the packets after it. Used by one thread, on which the
// platform's media framework has been started (MediaThreadScope).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/aac_codec.h"
#include "media/packet.h"

namespace kp {

using AudioPacketList = std::vector<std::shared_ptr<const EncodedPacket>>;

class AacEncoder {
 public:
  explicit AacEncoder(AacCodecFactory factory = CreatePlatformAacCodec);

  // (Re)creates the codec at the effective bitrate and starts a new stream:
  // the frame count restarts at 0 and the next Encode sets the first input
  // time. False, with one log line, when the codec is unavailable (the
  // encoder is then inert) or refuses the media types (every later block
  // then fails and is logged).
  bool Initialize(uint32_t kbps);

  // Encodes `frames` frames (normally 1,024) whose first frame is at `time`
  // and appends every packet that became available.
  void Encode(const int16_t* samples, uint32_t frames, int64_t time, AudioPacketList& packets);

  // Drains the codec at the end of the stream and appends what remains.
  void Flush(AudioPacketList& packets);

  // The largest allowed rate (96, 128, 160, 192 kbps) not above `kbps`;
  // 96 for anything below.
  static uint32_t EffectiveBitrate(uint32_t kbps);
  // AAC LC, 48 kHz, 2 channels: 0x11 0x90, whatever the bitrate.
  static std::vector<uint8_t> AudioSpecificConfig();

  int64_t framesEmitted() const { return frameCount_; }

 private:
  void CollectOutputs(AudioPacketList& packets);

  AacCodecFactory factory_;
  std::unique_ptr<AacCodec> codec_;
  uint32_t outputBufferSize_ = kMinOutputBufferSize;
  int64_t firstInputTime_ = -1;
  int64_t frameCount_ = 0;

  static constexpr uint32_t kMinOutputBufferSize = 8'192;
};

}  // namespace kp
