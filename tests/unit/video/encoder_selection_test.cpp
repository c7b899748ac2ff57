#include "video/encoder_selection.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace kp {
namespace {

// An encoder whose Initialize result is scripted; it remembers what it was
// opened with and counts live instances, so a test sees that failed
// candidates are destroyed.
struct FakeEncoderWorld {
  bool nvencOpens = false;
  bool mfOpens = false;
  std::vector<EncoderKind> made;
  int alive = 0;
  GpuDevice* seenDevice = nullptr;
  GpuTexture* seenInput = nullptr;
  uint32_t seenWidth = 0;
};

class FakeEncoder : public VideoEncoder {
 public:
  FakeEncoder(FakeEncoderWorld& world, EncoderKind kind) : world_(world), kind_(kind) { ++world_.alive; }
  ~FakeEncoder() override { --world_.alive; }
  bool Initialize(GpuDevice* device, GpuTexture* input, const EncoderConfig& config) override {
    world_.seenDevice = device;
    world_.seenInput = input;
    world_.seenWidth = config.width;
    return kind_ == EncoderKind::Nvenc ? world_.nvencOpens : world_.mfOpens;
  }
  bool Encode(int64_t, int64_t, bool, PacketList&) override { return true; }
  bool Drain(PacketList&) override { return true; }
  const VideoTrackInfo& TrackInfo() const override { return track_; }
  std::string Name() const override {
    return kind_ == EncoderKind::Nvenc ? "NVIDIA NVENC" : "Contoso H.264 Encoder MFT";
  }

 private:
  FakeEncoderWorld& world_;
  EncoderKind kind_;
  VideoTrackInfo track_;
};

constexpr uint32_t kAmd = 0x1002;
constexpr uint32_t kIntel = 0x8086;
constexpr const char* kFallback = "encoder: NVENC unavailable, trying the Windows hardware encoder";
constexpr const char* kNone = "encoder: no usable H.264 encoder on this GPU";
constexpr const char* kNvencRuns = "encoder: NVIDIA NVENC";
constexpr const char* kMfRuns = "encoder: Contoso H.264 Encoder MFT";

TEST(EncoderSelectionTest, ChoiceVendorAndOutcomesDecideAttemptsAndLines) {
  using K = EncoderKind;
  struct Case {
    const char* name;
    EncoderChoice choice;
    std::optional<uint32_t> vendor;
    bool nvencOpens, mfOpens;
    std::vector<EncoderKind> attempts;
    std::vector<std::string> lines;
    const char* opened;  // null: none
  };
  const Case cases[] = {
      {"auto nvidia, nvenc opens", EncoderChoice::Auto, kNvidiaVendorId, true, true, {K::Nvenc}, {kNvencRuns},
       "NVIDIA NVENC"},
      {"auto nvidia, nvenc fails, mf opens", EncoderChoice::Auto, kNvidiaVendorId, false, true,
       {K::Nvenc, K::MediaFoundation}, {kFallback, kMfRuns}, "Contoso H.264 Encoder MFT"},
      {"auto nvidia, both fail", EncoderChoice::Auto, kNvidiaVendorId, false, false, {K::Nvenc, K::MediaFoundation},
       {kFallback, kNone}, nullptr},
      {"auto intel goes straight to mf", EncoderChoice::Auto, kIntel, true, true, {K::MediaFoundation}, {kMfRuns},
       "Contoso H.264 Encoder MFT"},
      {"auto amd, mf fails, no fallback line", EncoderChoice::Auto, kAmd, true, false, {K::MediaFoundation}, {kNone},
       nullptr},
      {"auto unknown vendor is not nvidia", EncoderChoice::Auto, std::nullopt, true, true, {K::MediaFoundation},
       {kMfRuns}, "Contoso H.264 Encoder MFT"},
      {"nvenc on amd is still tried", EncoderChoice::Nvenc, kAmd, true, true, {K::Nvenc}, {kNvencRuns},
       "NVIDIA NVENC"},
      {"nvenc failing never falls back", EncoderChoice::Nvenc, kNvidiaVendorId, false, true, {K::Nvenc}, {kNone},
       nullptr},
      {"nvenc with unknown vendor", EncoderChoice::Nvenc, std::nullopt, false, true, {K::Nvenc}, {kNone}, nullptr},
      {"mf on nvidia never tries nvenc", EncoderChoice::MediaFoundation, kNvidiaVendorId, true, true,
       {K::MediaFoundation}, {kMfRuns}, "Contoso H.264 Encoder MFT"},
      {"mf failing", EncoderChoice::MediaFoundation, kNvidiaVendorId, true, false, {K::MediaFoundation}, {kNone},
       nullptr},
      {"unknown choice value acts as mf", static_cast<EncoderChoice>(7), kNvidiaVendorId, true, true,
       {K::MediaFoundation}, {kMfRuns}, "Contoso H.264 Encoder MFT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEncoderWorld world;
    world.nvencOpens = c.nvencOpens;
    world.mfOpens = c.mfOpens;
    const EncoderMaker make = [&world](EncoderKind kind) {
      world.made.push_back(kind);
      return std::make_unique<FakeEncoder>(world, kind);
    };
    EncoderConfig config;
    config.width = 1280;
    config.height = 720;
    auto* device = reinterpret_cast<GpuDevice*>(0x1000);
    auto* input = reinterpret_cast<GpuTexture*>(0x2000);

    test::LogCapture log;
    std::unique_ptr<VideoEncoder> encoder = OpenVideoEncoder(c.choice, c.vendor, device, input, config, make);

    EXPECT_EQ(world.made, c.attempts);
    EXPECT_EQ(log.Lines(), c.lines);
    if (c.opened == nullptr) {
      EXPECT_EQ(encoder, nullptr);
      EXPECT_EQ(world.alive, 0) << "failed candidates must be destroyed";
    } else {
      ASSERT_NE(encoder, nullptr);
      EXPECT_EQ(encoder->Name(), c.opened);
      EXPECT_EQ(world.alive, 1) << "only the opened encoder survives";
    }
    EXPECT_EQ(world.seenDevice, device);
    EXPECT_EQ(world.seenInput, input);
    EXPECT_EQ(world.seenWidth, 1280u);
  }
}

TEST(EncoderSelectionTest, MakerReturningNothingCountsAsFailure) {
  const EncoderMaker make = [](EncoderKind) { return std::unique_ptr<VideoEncoder>(); };
  test::LogCapture log;
  EXPECT_EQ(OpenVideoEncoder(EncoderChoice::Auto, kNvidiaVendorId, nullptr, nullptr, EncoderConfig{}, make), nullptr);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{kFallback, kNone}));
}

TEST(EncoderChoiceTest, StoredValuesMapToChoices) {
  EXPECT_EQ(EncoderChoiceFromValue(0), EncoderChoice::Auto);
  EXPECT_EQ(EncoderChoiceFromValue(1), EncoderChoice::Nvenc);
  EXPECT_EQ(EncoderChoiceFromValue(2), EncoderChoice::MediaFoundation);
  EXPECT_EQ(EncoderChoiceFromValue(3), EncoderChoice::MediaFoundation);
  EXPECT_EQ(EncoderChoiceFromValue(-1), EncoderChoice::MediaFoundation);
}

}  // namespace
}  // namespace kp
