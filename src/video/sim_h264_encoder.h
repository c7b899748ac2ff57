// The H.264 encoder of the Linux build: a real, lossless bitstream writer
// (Constrained Baseline, CAVLC). IDR pictures carry every macroblock as
// I_PCM; P pictures skip the macroblocks that did not change since the
// previous picture (P_Skip, zero motion) and send the changed ones as I_PCM,
// so any decoder reproduces the input frames bit for bit. Sizes that are not
// multiples of 16 are coded padded and cropped in the sequence parameter set.
//
// It reads the Nv12Frame passed (as GpuTexture*) to Initialize, and can
// behave like an immediate encoder (parameter sets known at Initialize, one
// packet per Encode) or like a hardware transform (parameter sets known only
// with the first output, packets held back and released in batches, the
// rest released by Drain).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "video/nv12_frame.h"
#include "video/video_encoder.h"

namespace kp {

class RbspWriter;

struct SimH264EncoderOptions {
  bool parameterSetsUpFront = true;
  uint32_t outputDelay = 0;  // pictures held back before output starts
  uint32_t outputBatch = 1;  // packets released together

  // The hardware-transform-like behaviour.
  static SimH264EncoderOptions Deferred(uint32_t delay, uint32_t batch) { return {false, delay, batch}; }
};

class SimH264Encoder : public VideoEncoder {
 public:
  explicit SimH264Encoder(SimH264EncoderOptions options = {});

  // `device` must be non-null (any object of the chain); `input` is an
  // Nv12Frame* of exactly the configured (even) size.
  bool Initialize(GpuDevice* device, GpuTexture* input, const EncoderConfig& config) override;
  bool Encode(int64_t pts, int64_t duration, bool forceKeyframe, PacketList& packets) override;
  bool Drain(PacketList& packets) override;
  const VideoTrackInfo& TrackInfo() const override { return track_; }
  std::string Name() const override;

  const EncoderConfig& config() const { return config_; }
  // The parameter sets, whether or not TrackInfo() shows them yet.
  const std::vector<uint8_t>& Sps() const { return sps_; }
  const std::vector<uint8_t>& Pps() const { return pps_; }

 private:
  void BuildParameterSets();
  void WritePcm(RbspWriter& writer, uint32_t mbX, uint32_t mbY);
  void CopyToReference(uint32_t mbX, uint32_t mbY);
  void FindChangedMacroblocks(uint32_t mbY);
  void Release(size_t count, PacketList& packets);

  SimH264EncoderOptions options_;
  EncoderConfig config_;
  VideoTrackInfo track_;
  const Nv12Frame* input_ = nullptr;
  std::vector<uint8_t> sps_;
  std::vector<uint8_t> pps_;
  uint32_t mbWidth_ = 0;
  uint32_t mbHeight_ = 0;
  uint32_t keyframeInterval_ = 1;
  uint32_t picturesSinceIdr_ = 0;
  uint32_t frameNum_ = 0;
  uint32_t idrPicId_ = 0;
  bool haveReference_ = false;
  Nv12Frame reference_;             // the decoder's picture after the last Encode
  std::vector<uint8_t> changed_;    // per macroblock of one row
  std::vector<uint8_t> rbsp_;       // reused slice payload
  std::deque<std::shared_ptr<const EncodedPacket>> pending_;
};

}  // namespace kp
