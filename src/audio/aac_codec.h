// The codec behind AacEncoder: the Media Foundation AAC encoder transform on
// Windows, FFmpeg's native AAC encoder on Linux. It only moves bytes; the
// time stamps, retries and log lines are AacEncoder's. Results are
// HRESULT-style codes: 0 is success, the two named codes steer the data
// flow, anything else is a failure reported in the log as "hr=0x%08lX".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kp {

class AacCodec {
 public:
  static constexpr uint32_t kOk = 0;
  // The codec holds enough input; collect output before feeding more.
  static constexpr uint32_t kNotAccepting = 0xC00D36B5;
  // No output until more input arrives (or, after a drain, none at all).
  static constexpr uint32_t kNeedMoreInput = 0xC00D6D72;

  virtual ~AacCodec() = default;

  // Input: interleaved 16-bit stereo PCM at 48 kHz.
  virtual uint32_t SetInputType() = 0;
  // Output: raw AAC-LC access units at `kbps` (already an allowed rate).
  virtual uint32_t SetOutputType(uint32_t kbps) = 0;
  // The size the codec asks for an output buffer; 0 when it names none.
  virtual uint32_t OutputBufferSize() = 0;
  // Announces the start of streaming.
  virtual void BeginStream() = 0;
  // Feeds `frames` frames starting at `time` lasting `duration` (ticks).
  virtual uint32_t ProcessInput(const int16_t* samples, uint32_t frames, int64_t time, int64_t duration) = 0;
  // Takes one output into `data` (resized to the bytes produced, possibly
  // none) with the codec's own time for it when it has one.
  virtual uint32_t ProcessOutput(uint32_t bufferSize, std::vector<uint8_t>* data, bool* hasTime, int64_t* time) = 0;
  // Signals the end of the stream; the rest comes out through ProcessOutput.
  virtual uint32_t Drain() = 0;
};

// Creates a codec; on failure returns null and sets `*failureCode`.
using AacCodecFactory = std::function<std::unique_ptr<AacCodec>(uint32_t* failureCode)>;

// The platform's codec (Media Foundation on Windows, FFmpeg on Linux).
std::unique_ptr<AacCodec> CreatePlatformAacCodec(uint32_t* failureCode);

}  // namespace kp
