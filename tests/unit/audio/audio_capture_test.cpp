// The capture side: the ring's addressing, the positioning of device packets
// from their time stamps, and a source's open/lost/reopen behaviour driven
// turn by turn on a fake clock with the tone device's fault scripts.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "audio/audio_format.h"
#include "audio/audio_ring.h"
#include "audio/audio_source.h"
#include "audio/capture_positioner.h"
#include "audio/tone_audio_device.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"

namespace kp {
namespace {

using test::LogCapture;
using Lines = std::vector<std::string>;

constexpr int64_t kOrigin = 1'000 * kTicksPerSecond;  // a whole number of frames
constexpr int64_t kMs = kTicksPerMillisecond;
constexpr int64_t kCap = AudioRing::kCapacityFrames;

std::vector<float> Frames(int64_t count, float value) { return std::vector<float>(count * 2, value); }

std::vector<float> Take(AudioRing& ring, int64_t position, int64_t count) {
  std::vector<float> out(count * 2);
  ring.Take(position, out.data(), count);
  return out;
}

TEST(AudioRingTest, WritesWrapAroundAndTakesZeroWhatTheyRead) {
  AudioRing ring;
  ring.Reset(kCap - 100);
  auto data = Frames(300, 0.5f);
  data[0] = 0.25f;
  data[599] = 0.75f;
  ring.Write(kCap - 100, data.data(), 300);  // crosses the end of the storage
  EXPECT_EQ(Take(ring, kCap - 100, 300), data);
  EXPECT_EQ(ring.ReadPosition(), kCap + 200);
  // Taken slots read back as silence one lap later, never as the old audio.
  EXPECT_EQ(Take(ring, 2 * kCap - 100, 300), Frames(300, 0.0f));
}

TEST(AudioRingTest, DropsFramesBehindTheReaderAndFromFourSecondsAhead) {
  AudioRing ring;
  ring.Reset(1'000);
  auto data = Frames(600, 1.0f);
  ring.Write(700, data.data(), 600);  // frames 700..999 are already behind
  EXPECT_EQ(Take(ring, 1'000, 300), Frames(300, 1.0f));
  // Frames from read position + capacity on would overwrite unread slots.
  const int64_t limit = ring.ReadPosition() + kCap;
  ring.Write(limit - 10, data.data(), 20);
  EXPECT_EQ(Take(ring, 1'300, 10), Frames(10, 0.0f));
  ring.Reset(limit - 10);
  ring.Write(limit - 10, data.data(), 20);
  EXPECT_EQ(Take(ring, limit - 10, 20), Frames(20, 1.0f));
}

// A positioner at volume 0.5 fed 480-frame packets of 0.8.
struct PositionerRig {
  // Stamp of frame `frame` on the audio clock (rounded up), plus `offset`.
  void Packet(int64_t frame, int64_t offset = 0, bool silent = false) {
    DevicePacket packet;
    packet.samples = data.data();
    packet.frames = 480;
    packet.silent = silent;
    packet.devicePosition = static_cast<uint64_t>(kOrigin + (frame * 10'000'000 + 47'999) / 48'000 + offset);
    positioner.Write(packet, 0);
  }
  AudioRing ring;
  CapturePositioner positioner{"desktop", 0.5f, kOrigin, &ring};
  std::vector<float> data = Frames(480, 0.8f);
  LogCapture log;
};

TEST(CapturePositionerTest, FirstPacketAlignsAndVolumeScales) {
  PositionerRig rig;
  rig.Packet(4'800);
  EXPECT_EQ(rig.positioner.position(), 5'280);
  auto got = Take(rig.ring, 4'799, 482);
  EXPECT_EQ(got[1], 0.0f);
  EXPECT_FLOAT_EQ(got[2], 0.4f);
  EXPECT_FLOAT_EQ(got[481 * 2 - 1], 0.4f);
  EXPECT_EQ(got[481 * 2], 0.0f);
  EXPECT_TRUE(rig.log.Lines().empty());
}

TEST(CapturePositionerTest, StampJumpsBeyond40msResyncJitterIsAbsorbed) {
  struct Case {
    int64_t offset;
    const char* line;  // null: no resync
    int64_t positionAfter;
  };
  const Case cases[] = {
      {50 * kMs, "audio: desktop resync by 50.0 ms", 960 + 2'400 + 480},
      {-50 * kMs, "audio: desktop resync by -50.0 ms", 960 - 2'400 + 480},
      {40 * kMs, nullptr, 960 + 480},  // exactly 1,920 frames: still absorbed
      {40 * kMs + 209, "audio: desktop resync by 40.0 ms", 960 + 1'921 + 480},
  };
  for (const Case& c : cases) {
    PositionerRig rig;
    rig.Packet(0);
    rig.Packet(480);
    rig.Packet(960, c.offset);
    EXPECT_EQ(rig.positioner.position(), c.positionAfter) << c.offset;
    EXPECT_EQ(rig.log.Lines(), c.line ? Lines{c.line} : Lines{}) << c.offset;
  }
}

TEST(CapturePositionerTest, SilentPacketWritesZerosOverOlderContent) {
  PositionerRig rig;
  rig.Packet(0);
  rig.Packet(480);
  // A new stream starts over frames already written and marks its first
  // packet silent: its junk must not show, nor may the older audio.
  rig.positioner.Unsync();
  rig.Packet(0, 0, /*silent=*/true);
  auto expected = Frames(960, 0.0f);
  std::fill(expected.begin() + 960, expected.end(), 0.4f);
  EXPECT_EQ(Take(rig.ring, 0, 960), expected);
}

TEST(CapturePositionerTest, MissingOrFlaggedStampsUseNow) {
  for (bool flagged : {false, true}) {
    PositionerRig rig;
    DevicePacket packet;
    packet.samples = rig.data.data();
    packet.frames = 480;
    packet.timestampError = flagged;
    packet.devicePosition = flagged ? kOrigin + 5 * kTicksPerSecond : 0;
    rig.positioner.Write(packet, kOrigin + kTicksPerSecond);
    EXPECT_EQ(rig.positioner.position(), 48'000 + 480) << flagged;
  }
}

// A source and its tone device driven turn by turn on a fake clock.
struct SourceRig {
  explicit SourceRig(ToneScript script, AudioSourceKind kind = AudioSourceKind::kDesktop,
                     std::wstring setting = L"default") {
    auto owned = std::make_unique<ToneAudioDevice>(kind, clock, std::move(script));
    device = owned.get();
    source = std::make_unique<AudioSource>(kind, std::move(setting), 1.0f, kOrigin, &ring, std::move(owned), clock);
  }
  void RunUntil(int64_t elapsed) {
    while (clock.Now() - kOrigin < elapsed) source->RunStep();
  }
  LogCapture log;
  test::FakeClock clock{kOrigin};
  AudioRing ring;
  ToneAudioDevice* device = nullptr;
  std::unique_ptr<AudioSource> source;
};

TEST(AudioSourceTest, OpenFailuresAreLoggedAndRetriedEverySecond) {
  const std::string hint = " — microphone access is blocked in Windows privacy settings";
  struct Case {
    AudioSourceKind kind;
    DeviceOpenStatus status;
    uint32_t code;
    std::string line;
  };
  const Case cases[] = {
      {AudioSourceKind::kMicrophone, DeviceOpenStatus::kActivateFailed, 0x80070005,
       "audio: mic activate failed (hr=0x80070005)" + hint},
      // Where Windows reports a privacy block: at initialisation.
      {AudioSourceKind::kMicrophone, DeviceOpenStatus::kInitializeFailed, 0x80070005,
       "audio: mic initialize failed (hr=0x80070005)" + hint},
      {AudioSourceKind::kDesktop, DeviceOpenStatus::kActivateFailed, 0x88890008,
       "audio: desktop activate failed (hr=0x88890008)"},
      {AudioSourceKind::kDesktop, DeviceOpenStatus::kInitializeFailed, 0x88890008,
       "audio: desktop initialize failed (hr=0x88890008)"},
  };
  for (const Case& c : cases) {
    ToneScript script;
    script.failingOpens = 2;
    script.openFailure = c.status;
    script.openFailureCode = c.code;
    SourceRig rig(script, c.kind);
    rig.RunUntil(500 * kMs);
    EXPECT_EQ(rig.device->opens(), 1) << c.line;
    rig.RunUntil(2'500 * kMs);
    EXPECT_EQ(rig.device->opens(), 3) << c.line;
    const std::string label = c.kind == AudioSourceKind::kDesktop ? "audio: desktop" : "audio: mic";
    // The repeated failure is counted, then summed up by the recovery.
    EXPECT_EQ(rig.log.Lines(), (Lines{c.line, label + " capturing 'Tone 440 Hz'",
                                      label + " recovered after 2 failed attempts"}));
  }
}

TEST(AudioSourceTest, LostDeviceIsReopenedAfterASecondAndRealigned) {
  ToneScript script;
  script.frequencyHz = 0;
  script.amplitude = 0.5f;
  script.readFailures = {1'000 * kMs};
  script.emptyReads = {500 * kMs};  // an empty buffer with a success code is no loss
  SourceRig rig(script);
  rig.RunUntil(3'000 * kMs);
  EXPECT_EQ(rig.log.Lines(), (Lines{"audio: desktop capturing 'Tone 0 Hz'",
                                    "audio: desktop device lost (hr=0x88890004), reopening",
                                    "audio: desktop capturing 'Tone 0 Hz'"}));
  EXPECT_EQ(rig.device->opens(), 2);
  // Captured up to the loss, silence while closed, captured again after the
  // reopen at its true position (a new stream aligns quietly).
  auto got = Take(rig.ring, 0, 3 * 48'000);
  EXPECT_EQ(got[24'000 * 2], 0.5f);
  EXPECT_EQ(got[24'240 * 2], 0.5f);
  EXPECT_EQ(got[72'000 * 2], 0.0f);
  EXPECT_EQ(got[120'000 * 2], 0.5f);
}

TEST(AudioSourceTest, DefaultDeviceChangeSwitchesOnlyForTheDefaultSetting) {
  for (bool followDefault : {true, false}) {
    ToneScript script;
    script.defaultChanges = {2'500 * kMs};
    SourceRig rig(script, AudioSourceKind::kDesktop, followDefault ? L"default" : L"tone:desktop:0");
    // Checked every 2 s from the open: the change at 2.5 s is seen at 4 s.
    rig.RunUntil(3'900 * kMs);
    EXPECT_EQ(rig.device->opens(), 1);
    rig.RunUntil(6'000 * kMs);
    EXPECT_EQ(rig.log.CountStartingWith("audio: desktop default device changed, switching"), followDefault ? 1 : 0);
    EXPECT_EQ(rig.device->opens(), followDefault ? 2 : 1);
    EXPECT_EQ(rig.device->CurrentEndpointId(), followDefault ? L"tone:desktop:1" : L"tone:desktop:0");
  }
}

TEST(AudioSourceTest, InactiveConfiguredDeviceUsesTheDefaultUntilItIsBack) {
  ToneScript script;
  script.otherEndpoint = L"tone:mic:usb";
  // Disabled at the start, active from 3 s, unplugged at 7 s.
  script.otherEndpointInactive = {{0, 3'000 * kMs}, {7'000 * kMs, 100'000 * kMs}};
  SourceRig rig(script, AudioSourceKind::kMicrophone, L"tone:mic:usb");
  rig.RunUntil(3'900 * kMs);
  EXPECT_EQ(rig.device->CurrentEndpointId(), L"tone:mic:0");
  // The 2 s check sees it back at 4 s.
  rig.RunUntil(4'100 * kMs);
  EXPECT_EQ(rig.device->CurrentEndpointId(), L"tone:mic:usb");
  rig.RunUntil(9'000 * kMs);
  EXPECT_EQ(rig.device->CurrentEndpointId(), L"tone:mic:0");
  const std::string opened = "audio: mic capturing 'Tone 440 Hz'";
  EXPECT_EQ(rig.log.Lines(), (Lines{opened, "audio: mic configured device is back, switching", opened,
                                    "audio: mic device lost (hr=0x88890004), reopening", opened}));
}

}  // namespace
}  // namespace kp
