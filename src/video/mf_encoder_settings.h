// The decisions of the Media Foundation encoder that are not calls: which
// codec properties it asks for and how it reacts to refusals, the rate of
// the output media type, the "opened" log line, and how an output sample of
// the transform becomes a packet and fills the track's parameter sets.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "media/packet.h"
#include "video/video_encoder.h"

namespace kp {

// The encoder properties (ICodecAPI values) the program sets.
enum class MfCodecProperty : int32_t {
  GopSize = 0,          // 32-bit: frames between IDR pictures
  BFrameCount = 1,      // 32-bit
  LowLatency = 2,       // boolean (value 0 or 1)
  RateControlMode = 3,  // 32-bit: kMfRateControl*
  EncodeQp = 4,         // 64-bit QP for the quality mode
  CommonQuality = 5,    // 32-bit 1..100
  MaxBitrate = 6,       // 32-bit bit/s
  MeanBitrate = 7,      // 32-bit bit/s
  ForceKeyframe = 8,    // 32-bit, 1 = next picture is IDR
};

inline constexpr uint32_t kMfRateControlPeakConstrainedVbr = 1;
inline constexpr uint32_t kMfRateControlQuality = 3;

// Where the properties go: the transform's codec interface on Windows, a
// recorder in tests.
class MfCodecProperties {
 public:
  virtual ~MfCodecProperties() = default;
  // False when the encoder refused the value.
  virtual bool Set(MfCodecProperty property, uint64_t value) = 0;
};

// QP asked for in constant-quality mode: quality - 3, never below 10.
uint32_t MfQpForQuality(uint32_t quality);
// The 1..100 quality scale (100 best) for a 0..51 QP-like quality.
uint32_t MfCommonQualityForQuality(uint32_t quality);

// Sets GOP, B-frames, low latency and rate control on `codec` for `config`
// (bit rates already derived). Every refusal that matters is logged and the
// next property is still tried; a refused quality mode falls back to
// peak-constrained VBR at half the peak. Returns whether the QP value was
// accepted (the opened line then shows it).
bool ApplyMfCodecProperties(MfCodecProperties& codec, const EncoderConfig& config);

// MF_MT_AVG_BITRATE of the output type: the average for VBR, half the peak
// in constant-quality mode.
uint32_t MfOutputTypeBitrate(const EncoderConfig& config);

// Logs the line that says which transform runs and how it is configured.
void LogMfEncoderOpened(const std::string& name, const EncoderConfig& config, bool qpAccepted, bool async);

// One output sample of the transform, its buffer locked.
struct MfOutputSample {
  std::span<const uint8_t> data;  // Annex-B access unit
  bool hasTime = false;
  int64_t time = 0;  // 100-ns
  bool hasDuration = false;
  int64_t duration = 0;
  bool cleanPoint = false;
};

// The packet of a sample: its time (0 when it has none), its duration when
// it carries one of at least 1 tick (else `frameDuration`), keyframe when the
// sample is a clean point or holds an IDR unit, and the length-prefixed
// payload without parameter sets or delimiters. The first SPS and PPS units
// seen while the track has none are stored in `track`.
EncodedPacket MakeMfPacket(const MfOutputSample& sample, int64_t frameDuration, VideoTrackInfo& track);

// Stores the SPS and PPS units of an Annex-B sequence header (the output
// type's MF_MT_MPEG_SEQUENCE_HEADER) in `track`; a later unit of a type
// replaces an earlier one.
void StoreSequenceHeader(std::span<const uint8_t> header, VideoTrackInfo& track);

}  // namespace kp
