// The WAV reader against images built chunk by chunk here: what it must take
// (the writer's output, other and odd-sized chunks, a wrong RIFF size, a
// partial last frame) and what it must refuse.
#include "app/pcm_wav.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/state_icon.h"

namespace kp {
namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

Bytes Chunk(const std::string& tag, Bytes body, uint32_t size = UINT32_MAX) {
  Bytes out(tag.begin(), tag.end());
  Put(out, size != UINT32_MAX ? size : static_cast<uint32_t>(body.size()), 4);
  if (body.size() % 2 != 0) body.push_back(0);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// PCM 22050 Hz unless told otherwise; `extra` bytes follow the 16 of the fields.
Bytes Fmt(uint32_t format = 1, uint32_t channels = 2, uint32_t blockAlign = 4, uint32_t bits = 16,
          uint32_t rate = 22050, size_t extra = 0) {
  Bytes body;
  for (auto [value, size] : {std::pair{format, 2}, {channels, 2}, {rate, 4}, {rate * blockAlign, 4},
                             {blockAlign, 2}, {bits, 2}}) {
    Put(body, value, size);
  }
  body.resize(body.size() + extra);
  return Chunk("fmt ", body);
}

Bytes Data(size_t bytes) {  // samples 1, -2, 3, -4, ...
  Bytes body;
  for (int i = 1; i <= static_cast<int>(bytes / 2); ++i) Put(body, static_cast<uint16_t>(i % 2 ? i : -i), 2);
  if (bytes % 2 != 0) body.push_back(0x7F);
  return Chunk("data", body);
}

Bytes Riff(const std::vector<Bytes>& chunks, const char* form = "WAVE", uint32_t size = UINT32_MAX) {
  Bytes body(form, form + 4);
  for (const Bytes& c : chunks) body.insert(body.end(), c.begin(), c.end());
  return Chunk("RIFF", body, size);
}

TEST(PcmWavTest, ReadsTheWritersImagesAndTheSaveSound) {
  const std::vector<int16_t> samples{0, -1, 32767, -32768, 1234, -4321};
  const std::optional<PcmSound> sound = ReadPcmWav(PcmWav(samples, 3, 44100));
  ASSERT_TRUE(sound.has_value());
  EXPECT_EQ(sound->channels, 3);
  EXPECT_EQ(sound->sampleRate, 44100u);
  EXPECT_EQ(sound->samples, samples);
  const std::optional<PcmSound> chime = ReadPcmWav(SaveSoundWav());
  ASSERT_TRUE(chime.has_value());
  EXPECT_EQ(chime->channels, 2);
  EXPECT_NEAR(static_cast<double>(chime->samples.size()) / 2 / chime->sampleRate, 0.29, 0.001);
}

TEST(PcmWavTest, TakesStereoPcmAmongOtherChunksAndRefusesTheRest) {
  Bytes truncated = Riff({Fmt(), Data(8)});
  truncated.pop_back();
  const Bytes fmt = Fmt();
  const struct {
    const char* name;
    Bytes wav;
    int samples;  // -1: refused
  } cases[] = {
      {"odd chunk before data", Riff({Fmt(), Chunk("LIST", Bytes(3, 'x')), Data(8)}), 4},
      {"chunk before fmt", Riff({Chunk("fact", Bytes(4, 0)), Fmt(), Data(8)}), 4},
      {"fmt with an extension size", Riff({Fmt(1, 2, 4, 16, 22050, 2), Data(8)}), 4},
      {"partial last frame", Riff({Fmt(), Data(11)}), 4},
      {"no whole frame", Riff({Fmt(), Data(3)}), 0},
      {"RIFF size past the end", Riff({Fmt(), Data(8)}, "WAVE", 1 << 30), 4},
      {"empty", {}, -1},
      {"not WAVE", Riff({Fmt(), Data(8)}, "AVI "), -1},
      {"float samples", Riff({Fmt(3, 2, 8, 32), Data(8)}), -1},
      {"extensible format", Riff({Fmt(0xFFFE, 2, 4, 16, 22050, 24), Data(8)}), -1},
      {"12-bit samples in 16-bit blocks", Riff({Fmt(1, 2, 4, 12), Data(8)}), -1},
      {"block not the channels'", Riff({Fmt(1, 2, 2), Data(8)}), -1},
      {"no channels", Riff({Fmt(1, 0, 0), Data(8)}), -1},
      {"nine channels", Riff({Fmt(1, 9, 18), Data(36)}), -1},
      {"rate 0", Riff({Fmt(1, 2, 4, 16, 0), Data(8)}), -1},
      {"rate above 384 kHz", Riff({Fmt(1, 2, 4, 16, 384001), Data(8)}), -1},
      {"short fmt", Riff({Chunk("fmt ", Bytes(fmt.begin() + 8, fmt.end() - 1)), Data(8)}), -1},
      {"data before fmt", Riff({Data(8), Fmt()}), -1},
      {"no data", Riff({Fmt()}), -1},
      {"data past the end", truncated, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<PcmSound> sound = ReadPcmWav(c.wav);
    ASSERT_EQ(sound.has_value(), c.samples >= 0);
    if (!sound) continue;
    EXPECT_EQ(sound->channels, 2);
    EXPECT_EQ(sound->sampleRate, 22050u);
    const std::vector<int16_t> all{1, -2, 3, -4};
    EXPECT_EQ(sound->samples, std::vector<int16_t>(all.begin(), all.begin() + c.samples));
  }
}

}  // namespace
}  // namespace kp
