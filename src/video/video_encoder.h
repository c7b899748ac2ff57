// The one way to H.264: an abstract hardware encoder fed from a single NV12
// texture that the caller rewrites before every Encode call, and the
// settings record it is opened with.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/packet.h"

namespace kp {

// Opaque stand-ins for the graphics objects an encoder is bound to, so this
// interface compiles without any graphics headers. On Windows a GpuDevice*
// is the ID3D11Device* and a GpuTexture* the ID3D11Texture2D* (NV12) of the
// video chain, converted with reinterpret_cast at the edge that owns them and
// converted back only inside the Windows encoders. The Linux stand-ins pass
// pointers to their own CPU-side device and frame objects the same way. An
// encoder never owns either object; the texture must outlive the encoder.
struct GpuDevice;
struct GpuTexture;

enum class RateControl : uint32_t {
  ConstantQuality = 0,
  Vbr = 1,
};

// Eleven 32-bit fields, in this order, with the defaults of a fresh encoder.
struct EncoderConfig {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fps = 60;
  RateControl rateControl = RateControl::ConstantQuality;
  uint32_t quality = 23;          // QP scale 0..51, lower is better
  uint32_t averageBitrate = 0;    // bit/s; 0 = derive
  uint32_t maxBitrate = 0;        // bit/s; 0 = derive
  uint32_t preset = 4;            // 1 fastest .. 7 best
  uint32_t keyframeSeconds = 2;   // between IDR pictures
  uint32_t realtime = 1;          // 1 live capture, 0 offline export
  // 1: an encoder that stops asking for input (about 1 s of dropped frames in
  // a row) fails every later frame at once, so the caller's failure count
  // rebuilds it; the engine's live capture only. 0: it keeps dropping.
  uint32_t failStalls = 0;
};
static_assert(sizeof(EncoderConfig) == 11 * sizeof(uint32_t));

// Fills in bit rates left at 0: a VBR average of 0.13 bit per pixel, a VBR
// peak of 1.5 times the average (halved first), and a constant-quality cap of
// 0.16 bit per pixel. Encoders call this in Initialize.
void DeriveBitrates(EncoderConfig& config);

using PacketList = std::vector<std::shared_ptr<const EncodedPacket>>;

// Used by one thread. Implementations log their own failures.
class VideoEncoder {
 public:
  virtual ~VideoEncoder() = default;

  // Copies `config` (deriving missing bit rates), opens the encoder on
  // `device`, binds `input` and fills TrackInfo() with size and fps (and the
  // parameter sets when they are known up front). False on any failure; the
  // object is then only fit to be destroyed.
  virtual bool Initialize(GpuDevice* device, GpuTexture* input, const EncoderConfig& config) = 0;

  // Encodes the current content of the input texture as one picture at
  // `pts` (100-ns ticks) lasting `duration`, and appends every packet that
  // became available (none, one, or several for a deferred encoder). A frame
  // the encoder had no room for is dropped and still returns true.
  virtual bool Encode(int64_t pts, int64_t duration, bool forceKeyframe, PacketList& packets) = 0;

  // Signals end of input and appends every remaining packet.
  virtual bool Drain(PacketList& packets) = 0;

  // The encoder's own track parameters, valid for its whole life; the
  // parameter sets may appear only once the first packet is produced.
  virtual const VideoTrackInfo& TrackInfo() const = 0;

  // Display name of the encoder, UTF-8.
  virtual std::string Name() const = 0;

 protected:
  VideoEncoder() = default;
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;
};

}  // namespace kp
