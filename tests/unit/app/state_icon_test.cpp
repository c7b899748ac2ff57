// The state icons against their geometry and the failure sound against its
// format and tones, read back independently of how they were made.
#include "app/state_icon.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <string>

namespace kp {
namespace {

TEST(StateIconTest, DotAndDiscCoverTheirAreasWithSoftEdges) {
  for (int size : {16, 24}) {
    for (TrayState state : {TrayState::kRecording, TrayState::kPaused, TrayState::kWaiting}) {
      SCOPED_TRACE(testing::Message() << "S=" << size << " state=" << static_cast<int>(state));
      const IconColour c = StateColour(state);
      const std::vector<uint8_t> px = StateIconPixels(size, c);
      ASSERT_EQ(px.size(), static_cast<size_t>(size * size * 4));
      int coloured = 0, white = 0, transparent = 0, partial = 0;
      for (size_t i = 0; i < px.size(); i += 4) {
        const bool opaque = px[i + 3] == 255;
        if (px[i + 3] == 0) {
          ++transparent;
        } else if (opaque && px[i] == c.blue && px[i + 1] == c.green && px[i + 2] == c.red) {
          ++coloured;
        } else if (opaque && px[i] == 255 && px[i + 1] == 255 && px[i + 2] == 255) {
          ++white;
        } else {
          ++partial;
        }
      }
      // Full pixels lie within half a pixel inside each edge, the soft ring
      // is about one pixel wide around it.
      const double inner = 0.36 * size, outer = 0.47 * size, pi = std::numbers::pi;
      EXPECT_NEAR(coloured, pi * (inner - 0.5) * (inner - 0.5), 2.0 * pi * inner * 0.5 + 4);
      EXPECT_NEAR(coloured + white + partial, pi * outer * outer, 2.0 * pi * outer * 0.7 + 4);
      EXPECT_NEAR(size * size - transparent, pi * outer * outer, 2.0 * pi * outer * 0.7 + 4);
      EXPECT_GT(white, 0);
      EXPECT_GT(partial, 0);
      // The corners are outside the disc, the centre is the full colour.
      EXPECT_EQ(px[3], 0);
      const size_t centre = (static_cast<size_t>(size / 2) * size + size / 2) * 4;
      EXPECT_EQ(px[centre + 2], c.red);
      EXPECT_EQ(px[centre + 3], 255);
    }
  }
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t U16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

// Frequency from the rising zero crossings of samples [from, to), skipping
// the attack.
double ToneFrequency(const std::vector<uint8_t>& wav, size_t from, size_t to) {
  auto sample = [&](size_t i) { return static_cast<int16_t>(U16(wav, 44 + 2 * i)); };
  std::vector<double> crossings;
  for (size_t i = from + 1; i < to; ++i) {
    const int a = sample(i - 1), b = sample(i);
    if (a < 0 && b >= 0) crossings.push_back(static_cast<double>(i - 1) + static_cast<double>(-a) / (b - a));
  }
  if (crossings.size() < 3) return 0.0;
  return 44100.0 * static_cast<double>(crossings.size() - 1) / (crossings.back() - crossings.front());
}

TEST(FailureSoundTest, IsAMonoPcmWavOfTwoTones) {
  const std::vector<uint8_t>& wav = FailureSoundWav();
  ASSERT_EQ(wav.size(), 44u + 38808u);
  EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
  EXPECT_EQ(U32(wav, 4), wav.size() - 8);
  EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(U32(wav, 16), 16u);
  EXPECT_EQ(U16(wav, 20), 1);       // PCM
  EXPECT_EQ(U16(wav, 22), 1);       // mono
  EXPECT_EQ(U32(wav, 24), 44100u);
  EXPECT_EQ(U32(wav, 28), 88200u);
  EXPECT_EQ(U16(wav, 32), 2);
  EXPECT_EQ(U16(wav, 34), 16);
  EXPECT_EQ(std::string(wav.begin() + 36, wav.begin() + 40), "data");
  EXPECT_EQ(U32(wav, 40), 38808u);
  EXPECT_NEAR(ToneFrequency(wav, 200, 6174), 440.0, 1.0);
  EXPECT_NEAR(ToneFrequency(wav, 6174 + 200, 6174 + 13230), 329.6, 1.0);
  EXPECT_EQ(&FailureSoundWav(), &wav);  // built once
}

}  // namespace
}  // namespace kp
