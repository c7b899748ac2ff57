// WAV images of 16-bit PCM, the only kind the program makes or plays: a
// writer for the sounds it builds and a reader for the shells that hand the
// samples to a sound server.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kp {

// Little-endian fields, as RIFF and ICO files store them.
void AppendLe16(std::vector<uint8_t>& out, uint32_t value);
void AppendLe32(std::vector<uint8_t>& out, uint32_t value);

// A 16-bit PCM WAV image (44-byte header) of interleaved `samples`.
std::vector<uint8_t> PcmWav(const std::vector<int16_t>& samples, uint16_t channels, uint32_t sampleRate);

struct PcmSound {
  uint16_t channels = 0;
  uint32_t sampleRate = 0;
  std::vector<int16_t> samples;  // interleaved, whole frames only
};

// The samples of a RIFF/WAVE image whose "fmt " chunk says PCM (format 1),
// 16 bits, 1 to 8 channels, a rate of 1 Hz to 384 kHz and a block of
// channels x 2 bytes, followed by a "data" chunk. Other chunks are skipped
// (each padded to an even size); the RIFF size is not trusted (writers get
// it wrong), the image's own end is. A trailing partial frame is left out.
// Nothing for anything else: another format or sample size, no or a short
// "fmt ", no "data", or a chunk that runs past the image's end.
std::optional<PcmSound> ReadPcmWav(const std::vector<uint8_t>& wav);

}  // namespace kp
