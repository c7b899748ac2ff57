// The mixer with scripted tone sources on a fake clock, turn by turn; the fake
// codec hands back each block's PCM, so every track's samples can be checked.
#include "audio/audio_mixer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio_format.h"
#include "audio/audio_ring.h"
#include "audio/audio_source.h"
#include "audio/tone_audio_device.h"
#include "config/settings.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "unit/audio/fake_aac_codec.h"

namespace kp {
namespace {

using test::LogCapture;

constexpr int64_t kOrigin = 1'000 * kTicksPerSecond;
constexpr int64_t kMs = kTicksPerMillisecond;

// A constant level: every sample of the source is `level`.
ToneScript Dc(float level) {
  ToneScript script;
  script.frequencyHz = 0;
  script.amplitude = level;
  return script;
}

AudioConfig Config(bool desktop, bool microphone, const std::string& layout) {
  AudioConfig config;
  config.desktopEnabled = desktop;
  config.microphoneEnabled = microphone;
  config.trackLayout = layout;
  return config;
}

// Sources and mixer stepped in turn on one fake clock: deterministic.
struct MixRig {
  MixRig(const AudioConfig& config, ToneScript desktop, ToneScript microphone = Dc(0.5f))
      : kinds_(BuildTrackKinds(config)), tracks(kinds_.size()) {
    if (config.desktopEnabled) AddSource(AudioSourceKind::kDesktop, desktop, config.desktopVolume, &desktopRing_);
    if (config.microphoneEnabled) AddSource(AudioSourceKind::kMicrophone, microphone, 1.0f, &microphoneRing_);
    mixer = std::make_unique<AudioMixer>(
        kinds_, config.bitrateKbps, kOrigin, config.desktopEnabled ? &desktopRing_ : nullptr,
        config.microphoneEnabled ? &microphoneRing_ : nullptr, test::FakeCodecFactory({}, record),
        [this](int track, std::shared_ptr<const EncodedPacket> packet) {
          tracks[static_cast<size_t>(track)].push_back(std::move(packet));
        });
    mixer->Begin();
  }

  void Run(int64_t untilElapsed, bool mix = true) {
    while (clock.Now() - kOrigin < untilElapsed) {
      for (auto& source : sources_) source->RunStep();
      if (mix) mixer->Tick(clock.Now());
    }
  }

  // Every left sample of `track` in the blocks from `from` to `to` seconds
  // (on the audio clock) equals `value`; no block there is missing.
  ::testing::AssertionResult AllEqual(size_t track, double from, double to, int32_t value) const {
    int64_t next = -1;  // the frame the next block must start at
    for (const auto& packet : tracks[track]) {
      const int64_t frame = std::llround(static_cast<double>(packet->pts - kOrigin) * 0.0048);
      if (frame < from * 48'000 || frame + 1024 > to * 48'000) continue;
      const auto* pcm = reinterpret_cast<const int16_t*>(packet->data.data());
      for (int64_t i = 0; i < 1024; ++i) {
        if (pcm[i * 2] != value || (next >= 0 && frame != next)) {
          return ::testing::AssertionFailure() << "track " << track << " frame " << frame + i << " is " << pcm[i * 2]
                                               << " (block expected at " << next << "), expected " << value;
        }
      }
      next = frame + 1024;
    }
    if (next < 0) return ::testing::AssertionFailure() << "track " << track << " has no block in range";
    return ::testing::AssertionSuccess();
  }

  void AddSource(AudioSourceKind kind, ToneScript script, float volume, AudioRing* ring) {
    auto device = std::make_unique<ToneAudioDevice>(kind, clock, std::move(script));
    sources_.push_back(std::make_unique<AudioSource>(kind, L"default", volume, kOrigin, ring, std::move(device), clock));
  }
  std::shared_ptr<test::FakeCodecRecord> record = std::make_shared<test::FakeCodecRecord>();
  test::FakeClock clock{kOrigin};
  std::vector<TrackKind> kinds_;
  AudioRing desktopRing_, microphoneRing_;
  std::vector<std::unique_ptr<AudioSource>> sources_;
  std::vector<std::vector<std::shared_ptr<const EncodedPacket>>> tracks;
  std::unique_ptr<AudioMixer> mixer;
};

TEST(AudioTracksTest, TrackListsFollowSourcesAndLayout) {
  using K = TrackKind;
  struct Case {
    bool desktop, microphone;
    const char* layout;
    std::vector<TrackKind> kinds;
  };
  const Case cases[] = {
      {true, false, "mixed", {K::kDesktop}},
      {false, true, "mixed+separate", {K::kMicrophone}},
      {true, true, "mixed", {K::kMixed}},
      {true, true, "separate", {K::kDesktop, K::kMicrophone}},
      {true, true, "something else", {K::kMixed, K::kDesktop, K::kMicrophone}},
      {false, false, "mixed+separate", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildTrackKinds(Config(c.desktop, c.microphone, c.layout)), c.kinds)
        << c.desktop << c.microphone << c.layout;
  }
  std::vector<std::string> names;
  for (const AudioTrackInfo& info : BuildTrackInfos({K::kMixed, K::kDesktop, K::kMicrophone})) {
    names.push_back(info.name);
    EXPECT_TRUE(info.sampleRate == 48'000 && info.channels == 2) << info.name;
    EXPECT_EQ(info.audioSpecificConfig, (std::vector<uint8_t>{0x11, 0x90})) << info.name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Desktop + Microphone", "Desktop Audio", "Microphone"}));
}

TEST(AudioTracksTest, ConfigComesFromTheSettings) {
  Settings settings;
  settings.desktop = {false, L"{abc}", 150};
  settings.microphone = {true, L"default", 35};
  settings.tracks = "separate";
  settings.audioBitrateKbps = 128;
  const AudioConfig c = MakeAudioConfig(settings);
  EXPECT_EQ(std::tuple(c.desktopEnabled, c.desktopDevice, c.desktopVolume, c.microphoneEnabled, c.microphoneVolume,
                       c.trackLayout, c.bitrateKbps),
            std::tuple(false, std::wstring(L"{abc}"), 1.5f, true, 0.35f, std::string("separate"), 128u));
}

TEST(AudioMixerTest, SixteenBitConversionClampsAndRounds) {
  const std::pair<float, int16_t> cases[] = {
      {0.5f, 16'384}, {-0.5f, -16'384}, {1.5f, 32'767}, {-1.5f, -32'767}, {std::nanf(""), 0},
  };
  for (auto [in, out] : cases) EXPECT_EQ(AudioMixer::ToPcm16(in), out) << in;
}

TEST(AudioMixerTest, TrackContentsPerLayout) {
  struct Case {
    bool desktop, microphone;
    const char* layout;
    float desktopVolume;
    std::vector<int32_t> values;  // per track
  };
  // Desktop is a constant 0.25, microphone 0.5.
  const Case cases[] = {
      {false, true, "separate", 1.0f, {16'384}},
      {true, true, "mixed+separate", 1.0f, {24'575, 8'192, 16'384}},
      {true, true, "mixed+separate", 2.0f, {32'767, 16'384, 16'384}},  // volume, then the mix clips
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.layout << " desktop " << c.desktop << " x" << c.desktopVolume);
    AudioConfig config = Config(c.desktop, c.microphone, c.layout);
    config.desktopVolume = c.desktopVolume;
    MixRig rig(config, Dc(0.25f));
    rig.Run(2 * kTicksPerSecond);
    ASSERT_EQ(rig.tracks.size(), c.values.size());
    const size_t blocks = rig.tracks[0].size();
    EXPECT_EQ(blocks, 84u);  // (96,000 - 9,600) / 1,024 whole blocks
    for (size_t t = 0; t < c.values.size(); ++t) {
      EXPECT_EQ(rig.tracks[t].size(), blocks);
      // The second source opens one packet (10 ms) after the first.
      EXPECT_TRUE(rig.AllEqual(t, 0.01, blocks * 1024 / 48'000.0, c.values[t]));
    }
  }
}

TEST(AudioMixerTest, BlocksTrailRealTimeBy200ms) {
  MixRig rig(Config(true, true, "mixed+separate"), Dc(0.25f));
  // The first block (frames 0..1,023) is due at 221.3334 ms, not before.
  rig.Run(210 * kMs);
  rig.mixer->Tick(kOrigin + 2'213'333);
  EXPECT_EQ(rig.mixer->position(), 0);
  rig.mixer->Tick(kOrigin + 2'213'334);
  EXPECT_EQ(rig.mixer->position(), 1024);
  rig.Run(1'337 * kMs);
  EXPECT_EQ(rig.mixer->position(), 53 * 1024);
  EXPECT_EQ(rig.tracks[2].size(), 53u);
}

TEST(AudioMixerTest, StallOfThreeSecondsSkipsAheadOnceAndRestartsEncoders) {
  LogCapture log;
  MixRig rig(Config(true, true, "mixed+separate"), Dc(0.25f));
  rig.Run(2'000 * kMs);
  const size_t packetsBefore = rig.tracks[1].size();
  EXPECT_EQ(rig.record->created, 3);

  rig.Run(5'000 * kMs, /*mix=*/false);  // the mixer thread is starved
  rig.mixer->Tick(rig.clock.Now());
  EXPECT_TRUE(log.Has("audio: mixer fell 3.0s behind, skipping ahead"));
  EXPECT_EQ(rig.record->created, 6);
  // 5 s less the lag, in whole blocks; nothing was due yet after the jump.
  const int64_t jumped = 225 * 1024;
  EXPECT_EQ(rig.mixer->position(), jumped);
  rig.Run(6'500 * kMs);
  EXPECT_EQ(log.CountStartingWith("audio: mixer fell"), 1);

  for (const auto& track : rig.tracks) {
    ASSERT_GT(track.size(), packetsBefore);
    EXPECT_EQ(track[packetsBefore]->pts, kOrigin + 48'000'000);  // frame 230,400
  }
  // What the sources wrote ahead during the stall was cleared with the ring;
  // fresh audio follows within the lag.
  EXPECT_TRUE(rig.AllEqual(1, 4.8, 4.95, 0));
  EXPECT_TRUE(rig.AllEqual(1, 5.1, 6.1, 8'192));
  EXPECT_TRUE(rig.AllEqual(2, 4.8, 4.95, 0));  // the microphone's ring too
  EXPECT_TRUE(rig.AllEqual(2, 5.1, 6.1, 16'384));
}

}  // namespace
}  // namespace kp
