// The state icons against their geometry and the failure sound against its
// format and tones, read back independently of how they were made.
#include "app/state_icon.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numbers>
#include <string>

namespace kp {
namespace {

using namespace std::string_literals;

TEST(StateIconTest, DotAndDiscCoverTheirAreasWithSoftEdges) {
  const double pi = std::numbers::pi;
  for (int size : {16, 24}) {
    SCOPED_TRACE(size);
    const IconColour c = StateColour(TrayState::kWaiting);
    const std::vector<uint8_t> px = StateIconPixels(size, c);
    ASSERT_EQ(px.size(), static_cast<size_t>(size * size * 4));
    int coloured = 0, white = 0, visible = 0;
    for (size_t i = 0; i < px.size(); i += 4) {
      visible += px[i + 3] != 0;
      if (px[i + 3] != 255) continue;
      coloured += px[i] == c.blue && px[i + 1] == c.green && px[i + 2] == c.red;
      white += px[i] == 255 && px[i + 1] == 255 && px[i + 2] == 255;
    }
    // Full pixels lie within half a pixel inside each edge (dot 0.36, disc
    // 0.47 of the size), the soft ring about one pixel wide around it.
    const double dot = 0.36 * size, disc = 0.47 * size;
    EXPECT_NEAR(coloured, pi * (dot - 0.5) * (dot - 0.5), pi * dot + 4);
    EXPECT_NEAR(visible, pi * disc * disc, 1.4 * pi * disc + 4);
    EXPECT_GT(white, 0);
    EXPECT_EQ(px[3], 0);  // a corner
    const size_t centre = (static_cast<size_t>(size / 2) * size + size / 2) * 4;
    EXPECT_EQ(px[centre + 2], c.red);
    EXPECT_EQ(px[centre + 3], 255);
  }
}

int16_t Sample(const std::vector<uint8_t>& wav, size_t i) { return static_cast<int16_t>(wav[44 + 2 * i] | wav[45 + 2 * i] << 8); }

// Frequency from the rising zero crossings of samples [from, to).
double ToneFrequency(const std::vector<uint8_t>& wav, size_t from, size_t to) {
  std::vector<double> crossings;
  for (size_t i = from + 1; i < to; ++i) {
    const int a = Sample(wav, i - 1), b = Sample(wav, i);
    if (a < 0 && b >= 0) crossings.push_back(static_cast<double>(i - 1) + static_cast<double>(-a) / (b - a));
  }
  if (crossings.size() < 3) return 0.0;
  return 44100.0 * static_cast<double>(crossings.size() - 1) / (crossings.back() - crossings.front());
}

TEST(FailureSoundTest, IsAMonoPcmWavOfTwoTones) {
  const std::vector<uint8_t>& wav = FailureSoundWav();
  ASSERT_EQ(wav.size(), 44u + 38808u);
  // RIFF header, PCM mono 44100 Hz 16-bit (88200 bytes/s, 2 per frame), data size.
  EXPECT_EQ(std::string(wav.begin(), wav.begin() + 44),
            "RIFF\xBC\x97\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x44\xAC\0\0\x88\x58\x01\0\x02\0\x10\0data\x98\x97\0\0"s);
  EXPECT_NEAR(ToneFrequency(wav, 200, 6174), 440.0, 1.0);
  EXPECT_NEAR(ToneFrequency(wav, 6174 + 200, 6174 + 13230), 329.6, 1.0);
}

}  // namespace
}  // namespace kp
