// The WAV reader against images built chunk by chunk here: what it must
// take (the writer's output, extra and odd-sized chunks, a wrong RIFF size,
// a partial last frame) and what it must refuse.
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

Bytes Chunk(const std::string& tag, const Bytes& body) {
  Bytes out(tag.begin(), tag.end());
  Put(out, static_cast<uint32_t>(body.size()), 4);
  out.insert(out.end(), body.begin(), body.end());
  if (body.size() % 2 != 0) out.push_back(0);
  return out;
}

struct Fmt {
  uint32_t format = 1, channels = 2, rate = 22050, blockAlign = 4, bits = 16, extra = 0;
};

Bytes FmtChunk(const Fmt& f) {
  Bytes body;
  Put(body, f.format, 2);
  Put(body, f.channels, 2);
  Put(body, f.rate, 4);
  Put(body, f.rate * f.blockAlign, 4);
  Put(body, f.blockAlign, 2);
  Put(body, f.bits, 2);
  body.insert(body.end(), f.extra, 0);
  return Chunk("fmt ", body);
}

Bytes Riff(const std::vector<Bytes>& chunks, const char* form = "WAVE") {
  Bytes body(form, form + 4);
  for (const Bytes& c : chunks) body.insert(body.end(), c.begin(), c.end());
  Bytes out = Chunk("RIFF", body);
  return out;
}

// Samples 1, -2, 3, -4, ... little-endian.
Bytes Data(size_t bytes) {
  Bytes body;
  for (size_t i = 0; i < bytes / 2; ++i) Put(body, static_cast<uint16_t>(i % 2 ? -static_cast<int>(i + 1) : i + 1), 2);
  if (bytes % 2 != 0) body.push_back(0x7F);
  return Chunk("data", body);
}

TEST(PcmWavTest, ReadsWhatTheWriterWrites) {
  const std::vector<int16_t> samples{0, -1, 32767, -32768, 1234, -4321};
  for (uint16_t channels : {1, 2, 3}) {
    SCOPED_TRACE(channels);
    const std::optional<PcmSound> sound = ReadPcmWav(PcmWav(samples, channels, 44100));
    ASSERT_TRUE(sound.has_value());
    EXPECT_EQ(sound->channels, channels);
    EXPECT_EQ(sound->sampleRate, 44100u);
    EXPECT_EQ(sound->samples, samples);
  }
  const std::optional<PcmSound> chime = ReadPcmWav(SaveSoundWav());
  ASSERT_TRUE(chime.has_value());
  EXPECT_EQ(chime->channels, 2);
  EXPECT_EQ(chime->sampleRate, 48000u);
  EXPECT_NEAR(static_cast<double>(chime->samples.size()) / 2 / 48000, 0.29, 0.001);
}

TEST(PcmWavTest, SkipsOtherChunksAndKeepsWholeFrames) {
  Bytes wrongSize = Riff({FmtChunk({}), Data(8)});
  wrongSize[4] = 0xFF;  // the RIFF size claims far more than there is
  const struct {
    const char* name;
    Bytes wav;
    size_t samples;
  } cases[] = {
      {"odd chunk before data", Riff({FmtChunk({}), Chunk("LIST", Bytes(3, 'x')), Data(8)}), 4},
      {"chunk before fmt", Riff({Chunk("fact", Bytes(4, 0)), FmtChunk({}), Data(8)}), 4},
      {"fmt with an extension size", Riff({FmtChunk({.extra = 2}), Data(8)}), 4},
      {"partial last frame", Riff({FmtChunk({}), Data(11)}), 4},
      {"no whole frame", Riff({FmtChunk({}), Data(3)}), 0},
      {"wrong RIFF size", wrongSize, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<PcmSound> sound = ReadPcmWav(c.wav);
    ASSERT_TRUE(sound.has_value());
    EXPECT_EQ(sound->channels, 2);
    EXPECT_EQ(sound->sampleRate, 22050u);
    ASSERT_EQ(sound->samples.size(), c.samples);
    if (c.samples > 0) {
      EXPECT_EQ(sound->samples, (std::vector<int16_t>{1, -2, 3, -4}));
    }
  }
}

TEST(PcmWavTest, RefusesWhatIsNot16BitPcm) {
  Bytes truncated = Riff({FmtChunk({}), Data(8)});
  truncated.resize(truncated.size() - 1);
  Bytes shortFmt = FmtChunk({});
  shortFmt[4] = 15;
  shortFmt.resize(8 + 15);
  shortFmt.push_back(0);
  const struct {
    const char* name;
    Bytes wav;
  } cases[] = {
      {"empty", {}},
      {"not RIFF", Riff({FmtChunk({}), Data(8)}, "AVI ")},
      {"float samples", Riff({FmtChunk({.format = 3, .blockAlign = 8, .bits = 32}), Data(8)})},
      {"extensible format", Riff({FmtChunk({.format = 0xFFFE, .extra = 24}), Data(8)})},
      {"8-bit samples", Riff({FmtChunk({.blockAlign = 2, .bits = 8}), Data(8)})},
      {"block size not the channels'", Riff({FmtChunk({.blockAlign = 2}), Data(8)})},
      {"no channels", Riff({FmtChunk({.channels = 0, .blockAlign = 0}), Data(8)})},
      {"nine channels", Riff({FmtChunk({.channels = 9, .blockAlign = 18}), Data(36)})},
      {"rate 0", Riff({FmtChunk({.rate = 0}), Data(8)})},
      {"short fmt", Riff({shortFmt, Data(8)})},
      {"data before fmt", Riff({Data(8), FmtChunk({})})},
      {"no data", Riff({FmtChunk({})})},
      {"data past the end", truncated},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(ReadPcmWav(c.wav).has_value());
  }
}

}  // namespace
}  // namespace kp
