// The WAV reader against images built chunk by chunk here: what it must take
// (the writer's output, other and odd-sized chunks, a wrong RIFF size, a
// partial last frame) and what it must refuse.
#include "app/pcm_wav.h"

#include <gtest/gtest.h>

#include <string>

#include "app/state_icon.h"

namespace kp {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Chunk(const std::string& tag, Bytes body, uint32_t size = UINT32_MAX) {
  if (size == UINT32_MAX) size = static_cast<uint32_t>(body.size());
  Bytes out(tag.begin(), tag.end());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(size >> (8 * i)));
  if (body.size() % 2 != 0) body.push_back(0);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// Format, channels, rate, bytes per second (unread), block size, bits: 16-bit fields but the rate's.
Bytes Fmt(uint8_t format = 1, uint8_t channels = 2, uint8_t block = 4, uint8_t bits = 16, uint32_t rate = 22050) {
  Bytes body{format, 0, channels, 0};
  for (int i = 0; i < 4; ++i) body.push_back(static_cast<uint8_t>(rate >> (8 * i)));
  body.insert(body.end(), {0, 0, 0, 0, block, 0, bits, 0});
  return Chunk("fmt ", body);
}

const Bytes kData = Chunk("data", {1, 0, 0xFE, 0xFF, 3, 0, 0xFC, 0xFF});  // 1, -2, 3, -4

Bytes Riff(const std::vector<Bytes>& chunks, const char* form = "WAVE", uint32_t size = UINT32_MAX) {
  Bytes body(form, form + 4);
  for (const Bytes& c : chunks) body.insert(body.end(), c.begin(), c.end());
  return Chunk("RIFF", body, size);
}

TEST(PcmWavTest, ReadsTheWritersImagesAndTheSaveSound) {
  const std::vector<int16_t> samples{0, -1, 32767, -32768, 1234, -4321};
  const std::optional<PcmSound> sound = ReadPcmWav(PcmWav(samples, 3, 44100));
  ASSERT_TRUE(sound.has_value());
  EXPECT_EQ(std::tuple(sound->channels, sound->sampleRate, sound->samples), std::tuple(3, 44100u, samples));
  const std::optional<PcmSound> chime = ReadPcmWav(SaveSoundWav());
  ASSERT_TRUE(chime.has_value());
  EXPECT_EQ(chime->channels, 2);
  EXPECT_NEAR(static_cast<double>(chime->samples.size()) / 2 / chime->sampleRate, 0.29, 0.001);
}

TEST(PcmWavTest, TakesStereoPcmAmongOtherChunksAndRefusesTheRest) {
  Bytes fmtWithExtension = Fmt(), partialFrame = kData, truncated = Riff({Fmt(), kData});
  fmtWithExtension[4] = 18;
  fmtWithExtension.insert(fmtWithExtension.end(), {0, 0});
  partialFrame[4] = 7;  // the pad byte makes the chunk even
  truncated.pop_back();
  const Bytes fmt = Fmt();
  const struct {
    const char* name;
    Bytes wav;
    int samples;  // -1: refused
  } cases[] = {
      {"odd chunk before fmt and data", Riff({Chunk("LIST", Bytes(3, 'x')), Fmt(), Chunk("junk", {1}), kData}), 4},
      {"fmt with an extension", Riff({fmtWithExtension, kData}), 4},
      {"partial last frame", Riff({Fmt(), partialFrame}), 2},
      {"RIFF size past the end", Riff({Fmt(), kData}, "WAVE", 1 << 30), 4},
      {"not WAVE", Riff({Fmt(), kData}, "AVI "), -1},
      {"not PCM", Riff({Fmt(3), kData}), -1},
      {"12-bit samples in 16-bit blocks", Riff({Fmt(1, 2, 4, 12), kData}), -1},
      {"block not the channels'", Riff({Fmt(1, 2, 2), kData}), -1},
      {"no channels", Riff({Fmt(1, 0, 0), kData}), -1},
      {"nine channels", Riff({Fmt(1, 9, 18), kData}), -1},
      {"rate 0", Riff({Fmt(1, 2, 4, 16, 0), kData}), -1},
      {"rate above 384 kHz", Riff({Fmt(1, 2, 4, 16, 384001), kData}), -1},
      {"short fmt", Riff({Chunk("fmt ", Bytes(fmt.begin() + 8, fmt.end() - 1)), kData}), -1},
      {"data before fmt", Riff({kData, Fmt()}), -1},
      {"data past the end", truncated, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<PcmSound> sound = ReadPcmWav(c.wav);
    ASSERT_EQ(sound.has_value(), c.samples >= 0);
    if (!sound) continue;
    const std::vector<int16_t> all{1, -2, 3, -4};
    EXPECT_EQ(std::tuple(sound->channels, sound->sampleRate, sound->samples),
              std::tuple(2, 22050u, std::vector<int16_t>(all.begin(), all.begin() + c.samples)));
  }
}

}  // namespace
}  // namespace kp
