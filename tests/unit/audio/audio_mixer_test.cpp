// The mixer with scripted tone sources on a fake clock, driven turn by turn:
// track lists and their contents per layout, block boundaries and time
// stamps, the 200 ms lag, gaps, late packets, silent packets and the jump
// after a stall. The fake codec hands back each block's PCM, so the samples
// every track received can be checked exactly.
#include "audio/audio_mixer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
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

using test::FakeClock;
using test::FakeCodecFactory;
using test::FakeCodecRecord;
using test::FakeCodecScript;
using test::LogCapture;

constexpr int64_t kOrigin = 1'000 * kTicksPerSecond;
constexpr int64_t kMs = kTicksPerMillisecond;

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
class MixRig {
 public:
  MixRig(const AudioConfig& config, ToneScript desktop, ToneScript microphone, FakeCodecScript codec = {})
      : record_(std::make_shared<FakeCodecRecord>()), kinds_(BuildTrackKinds(config)) {
    if (config.desktopEnabled) AddSource(AudioSourceKind::kDesktop, std::move(desktop), config.desktopVolume, &desktopRing_);
    if (config.microphoneEnabled) {
      AddSource(AudioSourceKind::kMicrophone, std::move(microphone), config.microphoneVolume, &microphoneRing_);
    }
    tracks.resize(kinds_.size());
    mixer = std::make_unique<AudioMixer>(
        kinds_, config.bitrateKbps, kOrigin, config.desktopEnabled ? &desktopRing_ : nullptr,
        config.microphoneEnabled ? &microphoneRing_ : nullptr, FakeCodecFactory(codec, record_),
        [this](int track, std::shared_ptr<const EncodedPacket> packet) {
          order.push_back(track);
          tracks[static_cast<size_t>(track)].push_back(std::move(packet));
        });
    mixer->Begin();
  }

  void StepSources() {
    for (auto& source : sources_) source->RunStep();
  }
  void Run(int64_t untilElapsed, bool mix = true) {
    while (clock.Now() - kOrigin < untilElapsed) {
      StepSources();
      if (mix) mixer->Tick(clock.Now());
    }
  }

  // The PCM a track received, indexed by frame on the audio clock; frames
  // never mixed hold `kUnset`.
  static constexpr int32_t kUnset = std::numeric_limits<int32_t>::min();
  std::vector<int32_t> Samples(size_t track) const {
    std::vector<int32_t> left;
    for (const auto& packet : tracks[track]) {
      auto frame = static_cast<size_t>(std::llround(static_cast<double>(packet->pts - kOrigin) * 0.0048));
      if (left.size() < frame + 1024) left.resize(frame + 1024, kUnset);
      const auto* pcm = reinterpret_cast<const int16_t*>(packet->data.data());
      for (size_t i = 0; i < 1024; ++i) {
        EXPECT_EQ(pcm[i * 2], pcm[i * 2 + 1]);
        left[frame + i] = pcm[i * 2];
      }
    }
    return left;
  }

  FakeClock clock{kOrigin};
  std::unique_ptr<AudioMixer> mixer;
  std::vector<std::vector<std::shared_ptr<const EncodedPacket>>> tracks;
  std::vector<int> order;
  const std::shared_ptr<FakeCodecRecord>& record() const { return record_; }

 private:
  void AddSource(AudioSourceKind kind, ToneScript script, float volume, AudioRing* ring) {
    auto device = std::make_unique<ToneAudioDevice>(kind, clock, std::move(script));
    sources_.push_back(std::make_unique<AudioSource>(kind, L"default", volume, kOrigin, ring, std::move(device), clock));
  }

  std::shared_ptr<FakeCodecRecord> record_;
  std::vector<TrackKind> kinds_;
  AudioRing desktopRing_;
  AudioRing microphoneRing_;
  std::vector<std::unique_ptr<AudioSource>> sources_;
};

size_t FrameAt(double seconds) { return static_cast<size_t>(std::llround(seconds * 48'000.0)); }

// Every sample in [from, to) seconds equals `value`.
::testing::AssertionResult AllEqual(const std::vector<int32_t>& samples, double from, double to, int32_t value) {
  for (size_t i = FrameAt(from); i < FrameAt(to); ++i) {
    if (i >= samples.size()) return ::testing::AssertionFailure() << "no sample at frame " << i;
    if (samples[i] != value) {
      return ::testing::AssertionFailure() << "frame " << i << " is " << samples[i] << ", expected " << value;
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(AudioTracksTest, TrackListsFollowSourcesAndLayout) {
  using K = TrackKind;
  struct Case {
    bool desktop, microphone;
    const char* layout;
    std::vector<TrackKind> kinds;
  };
  const Case cases[] = {
      {true, false, "mixed+separate", {K::kDesktop}},
      {true, false, "mixed", {K::kDesktop}},
      {true, false, "separate", {K::kDesktop}},
      {false, true, "mixed", {K::kMicrophone}},
      {false, true, "mixed+separate", {K::kMicrophone}},
      {true, true, "mixed", {K::kMixed}},
      {true, true, "separate", {K::kDesktop, K::kMicrophone}},
      {true, true, "mixed+separate", {K::kMixed, K::kDesktop, K::kMicrophone}},
      {true, true, "something else", {K::kMixed, K::kDesktop, K::kMicrophone}},
      {false, false, "mixed+separate", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildTrackKinds(Config(c.desktop, c.microphone, c.layout)), c.kinds)
        << c.desktop << c.microphone << c.layout;
  }
  auto infos = BuildTrackInfos({K::kMixed, K::kDesktop, K::kMicrophone});
  ASSERT_EQ(infos.size(), 3u);
  EXPECT_EQ(infos[0].name, "Desktop + Microphone");
  EXPECT_EQ(infos[1].name, "Desktop Audio");
  EXPECT_EQ(infos[2].name, "Microphone");
  for (const auto& info : infos) {
    EXPECT_EQ(info.sampleRate, 48'000u);
    EXPECT_EQ(info.channels, 2u);
    EXPECT_EQ(info.audioSpecificConfig, (std::vector<uint8_t>{0x11, 0x90}));
  }
}

TEST(AudioTracksTest, ConfigComesFromTheSettings) {
  Settings settings;
  AudioConfig defaults = MakeAudioConfig(settings);
  EXPECT_TRUE(defaults.desktopEnabled);
  EXPECT_FALSE(defaults.microphoneEnabled);
  EXPECT_EQ(defaults.trackLayout, "mixed+separate");
  EXPECT_EQ(defaults.bitrateKbps, 160u);
  EXPECT_EQ(defaults.desktopVolume, 1.0f);

  settings.desktop = {false, L"{0.0.0.00000000}.{abc}", 150};
  settings.microphone = {true, L"default", 35};
  settings.tracks = "separate";
  settings.audioBitrateKbps = 128;
  AudioConfig config = MakeAudioConfig(settings);
  EXPECT_FALSE(config.desktopEnabled);
  EXPECT_EQ(config.desktopDevice, L"{0.0.0.00000000}.{abc}");
  EXPECT_FLOAT_EQ(config.desktopVolume, 1.5f);
  EXPECT_TRUE(config.microphoneEnabled);
  EXPECT_FLOAT_EQ(config.microphoneVolume, 0.35f);
  EXPECT_EQ(config.trackLayout, "separate");
  EXPECT_EQ(config.bitrateKbps, 128u);
}

TEST(AudioMixerTest, SixteenBitConversionClampsAndRounds) {
  const std::pair<float, int16_t> cases[] = {
      {0.0f, 0},        {1.0f, 32'767},    {-1.0f, -32'767}, {1.5f, 32'767},   {-1.5f, -32'767},
      {0.8f + 0.7f, 32'767}, {0.5f, 16'384}, {-0.5f, -16'384}, {0.25f, 8'192}, {1e-5f, 0},
      {std::numeric_limits<float>::quiet_NaN(), 0},
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
      {true, false, "mixed+separate", 1.0f, {8'192}},
      {false, true, "separate", 1.0f, {16'384}},
      {true, true, "mixed", 1.0f, {24'575}},
      {true, true, "separate", 1.0f, {8'192, 16'384}},
      {true, true, "mixed+separate", 1.0f, {24'575, 8'192, 16'384}},
      {true, true, "mixed+separate", 2.0f, {32'767, 16'384, 16'384}},  // volume, then the mix clips
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.layout) + (c.desktop ? " desktop" : "") + (c.microphone ? " mic" : ""));
    AudioConfig config = Config(c.desktop, c.microphone, c.layout);
    config.desktopVolume = c.desktopVolume;
    MixRig rig(config, Dc(0.25f), Dc(0.5f));
    rig.Run(2 * kTicksPerSecond);
    ASSERT_EQ(rig.tracks.size(), c.values.size());
    const size_t blocks = rig.tracks[0].size();
    EXPECT_GT(blocks, 80u);
    for (size_t t = 0; t < c.values.size(); ++t) {
      EXPECT_EQ(rig.tracks[t].size(), blocks);
      // The second source opens one packet (10 ms) after the first.
      EXPECT_TRUE(AllEqual(rig.Samples(t), 0.01, static_cast<double>(blocks) * 1024 / 48'000, c.values[t]));
    }
    // Every block visits the tracks in list order.
    for (size_t i = 0; i < rig.order.size(); ++i) EXPECT_EQ(rig.order[i], static_cast<int>(i % c.values.size()));
  }
}

TEST(AudioMixerTest, NegativeMixClipsToMinus32767) {
  MixRig rig(Config(true, true, "mixed"), Dc(-0.8f), Dc(-0.7f));
  rig.Run(1 * kTicksPerSecond);
  EXPECT_TRUE(AllEqual(rig.Samples(0), 0.01, 0.5, -32'767));
}

TEST(AudioMixerTest, BlocksTrailRealTimeBy200msOnThe48kHzGrid) {
  LogCapture log;
  MixRig rig(Config(true, true, "mixed+separate"), Dc(0.25f), Dc(0.5f));
  EXPECT_TRUE(log.Has("audio: 3 track(s) at 160 kbps AAC"));
  for (int64_t until : {150 * kMs, 700 * kMs, 1'337 * kMs, 2'000 * kMs}) {
    rig.Run(until);
    const int64_t target = TicksToFrames(rig.clock.Now() - kOrigin) - AudioMixer::kLagFrames;
    EXPECT_EQ(rig.mixer->position() % 1024, 0);
    EXPECT_LE(rig.mixer->position(), std::max<int64_t>(target, 0));
    if (target >= 1024) {
      EXPECT_GT(rig.mixer->position() + 1024, target);
    }
  }
  for (const auto& track : rig.tracks) {
    for (size_t k = 0; k < track.size(); ++k) {
      // Block k starts at frame 1,024 k: time origin + k * 213,333.33... truncated.
      EXPECT_EQ(track[k]->pts, kOrigin + static_cast<int64_t>(k) * 1024 * 10'000'000 / 48'000);
      if (k > 0) {
        int64_t step = track[k]->pts - track[k - 1]->pts;
        EXPECT_TRUE(step == 213'333 || step == 213'334) << step;
      }
    }
  }
}

TEST(AudioMixerTest, GapsAreSilenceAndLongGapsResync) {
  {
    // After more than one lap of the ring, so stale slots would show.
    ToneScript desktop = Dc(0.25f);
    desktop.gaps = {{4'200 * kMs, 300 * kMs}};
    LogCapture log;
    MixRig rig(Config(true, false, "mixed"), desktop, {});
    rig.Run(5'200 * kMs);
    auto samples = rig.Samples(0);
    EXPECT_TRUE(AllEqual(samples, 0.0, 4.2, 8'192));
    EXPECT_TRUE(AllEqual(samples, 4.2, 4.5, 0));
    EXPECT_TRUE(AllEqual(samples, 4.5, 4.9, 8'192));
    EXPECT_EQ(log.CountStartingWith("audio: desktop resync"), 1);
    EXPECT_TRUE(log.Has("audio: desktop resync by 300.0 ms"));
  }
  {  // 20 ms missing is taken as continuous: no hole, no line.
    ToneScript desktop = Dc(0.25f);
    desktop.gaps = {{1'000 * kMs, 20 * kMs}};
    LogCapture log;
    MixRig rig(Config(true, false, "mixed"), desktop, {});
    rig.Run(2'000 * kMs);
    EXPECT_TRUE(AllEqual(rig.Samples(0), 0.0, 1.7, 8'192));
    EXPECT_EQ(log.CountStartingWith("audio: desktop resync"), 0);
  }
}

TEST(AudioMixerTest, LatePacketsLandWithinTheLagAndAreDroppedBeyondIt) {
  {
    ToneScript desktop = Dc(0.25f);
    desktop.lateDeliveries = {{{1'000 * kMs, 100 * kMs}, 150 * kMs}};
    MixRig rig(Config(true, false, "mixed"), desktop, {});
    rig.Run(2'200 * kMs);
    EXPECT_TRUE(AllEqual(rig.Samples(0), 0.0, 1.9, 8'192));
  }
  {
    ToneScript desktop = Dc(0.25f);
    desktop.lateDeliveries = {{{1'000 * kMs, 100 * kMs}, 400 * kMs}};
    MixRig rig(Config(true, false, "mixed"), desktop, {});
    rig.Run(2'200 * kMs);
    auto samples = rig.Samples(0);
    EXPECT_TRUE(AllEqual(samples, 0.0, 1.0, 8'192));
    EXPECT_TRUE(AllEqual(samples, 1.0, 1.25, 0));   // arrived after the mixer passed
    EXPECT_TRUE(AllEqual(samples, 1.35, 1.9, 8'192));
  }
}

TEST(AudioMixerTest, SilentPacketsNeverCarryTheirJunk) {
  ToneScript desktop = Dc(0.25f);
  desktop.silentPackets = {{500 * kMs, 100 * kMs}};
  MixRig rig(Config(true, true, "mixed+separate"), desktop, Dc(0.5f));
  rig.Run(1'500 * kMs);
  EXPECT_TRUE(AllEqual(rig.Samples(1), 0.5, 0.6, 0));
  EXPECT_TRUE(AllEqual(rig.Samples(1), 0.6, 1.0, 8'192));
  EXPECT_TRUE(AllEqual(rig.Samples(0), 0.5, 0.6, 16'384));
}

TEST(AudioMixerTest, StallOfThreeSecondsSkipsAheadOnceAndRestartsEncoders) {
  LogCapture log;
  MixRig rig(Config(true, true, "mixed+separate"), Dc(0.25f), Dc(0.5f));
  rig.Run(2'000 * kMs);
  const int64_t before = rig.mixer->position();
  const size_t packetsBefore = rig.tracks[1].size();
  EXPECT_EQ(rig.record()->created, 3);

  rig.Run(5'000 * kMs, /*mix=*/false);  // the mixer thread is starved
  rig.StepSources();
  const int64_t now = rig.clock.Now();
  const int64_t target = TicksToFrames(now - kOrigin) - AudioMixer::kLagFrames;
  char expected[96];
  std::snprintf(expected, sizeof expected, "audio: mixer fell %.1fs behind, skipping ahead",
                static_cast<double>(target - before) / 48'000.0);
  EXPECT_EQ(std::string(expected).substr(0, 22), "audio: mixer fell 3.0s");
  rig.mixer->Tick(now);
  EXPECT_TRUE(log.Has(expected));
  EXPECT_EQ(rig.record()->created, 6);
  const int64_t jumped = target / 1024 * 1024;
  EXPECT_EQ(rig.mixer->position(), jumped);  // nothing was due yet after the jump
  rig.Run(6'500 * kMs);
  EXPECT_EQ(log.CountStartingWith("audio: mixer fell"), 1);

  for (const auto& track : rig.tracks) {
    ASSERT_GT(track.size(), packetsBefore);
    EXPECT_EQ(track[packetsBefore]->pts, kOrigin + FramesToTicks(jumped));
    for (const auto& packet : track) {
      int64_t offset = packet->pts - kOrigin;
      int64_t frame = std::llround(static_cast<double>(offset) * 0.0048);
      EXPECT_EQ(frame % 1024, 0);
      EXPECT_EQ(FramesToTicks(frame), offset);
    }
  }
  // What the sources wrote ahead during the stall was cleared with the ring;
  // fresh audio follows within the lag.
  auto samples = rig.Samples(1);
  const double resume = static_cast<double>(jumped) / 48'000.0;
  EXPECT_TRUE(AllEqual(samples, resume, resume + 0.15, 0));
  EXPECT_TRUE(AllEqual(samples, resume + 0.3, 6.1, 8'192));
}

TEST(AudioMixerTest, ATrackWithoutEncoderStaysEmptyWhileOthersContinue) {
  LogCapture log;
  auto record = std::make_shared<FakeCodecRecord>();
  int made = 0;
  AacCodecFactory inner = FakeCodecFactory({}, record);
  AacCodecFactory factory = [&](uint32_t* code) -> std::unique_ptr<AacCodec> {
    if (made++ == 1) {
      *code = 0x80040154;
      return nullptr;
    }
    return inner(code);
  };
  AudioRing desktop;
  std::vector<int> counts(3, 0);
  AudioMixer mixer({TrackKind::kMixed, TrackKind::kDesktop, TrackKind::kMicrophone}, 160, kOrigin, &desktop, nullptr,
                   factory, [&](int track, std::shared_ptr<const EncodedPacket>) { ++counts[track]; });
  mixer.Begin();
  mixer.Tick(kOrigin + kTicksPerSecond);
  EXPECT_TRUE(log.Has("aac: encoder unavailable (hr=0x80040154)"));
  EXPECT_EQ(counts[0], 37);  // (48,000 - 9,600) / 1,024 whole blocks
  EXPECT_EQ(counts[1], 0);
  EXPECT_EQ(counts[2], 37);
}

}  // namespace
}  // namespace kp
