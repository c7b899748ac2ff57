#include "video/encoder_selection.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace kp {
namespace {

enum class Outcome { NotMade, Fails, Opens };

// Counts live encoders, so a test sees that failed candidates are destroyed,
// and checks what Initialize is given.
struct World {
  Outcome nvenc = Outcome::Opens;
  Outcome mf = Outcome::Opens;
  std::vector<EncoderKind> made;
  int alive = 0;
  GpuDevice* device = reinterpret_cast<GpuDevice*>(0x1000);
  GpuTexture* input = reinterpret_cast<GpuTexture*>(0x2000);
};

class FakeEncoder : public VideoEncoder {
 public:
  FakeEncoder(World& world, EncoderKind kind) : world_(world), kind_(kind) { ++world_.alive; }
  ~FakeEncoder() override { --world_.alive; }
  bool Initialize(GpuDevice* device, GpuTexture* input, const EncoderConfig& config) override {
    EXPECT_TRUE(device == world_.device && input == world_.input && config.width == 1280) << "passed through";
    return (kind_ == EncoderKind::Nvenc ? world_.nvenc : world_.mf) == Outcome::Opens;
  }
  bool Encode(int64_t, int64_t, bool, PacketList&) override { return true; }
  bool Drain(PacketList&) override { return true; }
  const VideoTrackInfo& TrackInfo() const override { return track_; }
  std::string Name() const override { return kind_ == EncoderKind::Nvenc ? "NVIDIA NVENC" : "Contoso MFT"; }

 private:
  World& world_;
  EncoderKind kind_;
  VideoTrackInfo track_;
};

TEST(EncoderSelectionTest, ChoiceVendorAndOutcomesDecideAttemptsAndLines) {
  using K = EncoderKind;
  using O = Outcome;
  const std::string fallback = "encoder: NVENC unavailable, trying the Windows hardware encoder";
  const std::string none = "encoder: no usable H.264 encoder on this GPU";
  const std::string nvencRuns = "encoder: NVIDIA NVENC";
  const std::string mfRuns = "encoder: Contoso MFT";
  struct Case {
    const char* name;
    EncoderChoice choice;
    std::optional<uint32_t> vendor;
    Outcome nvenc, mf;
    std::vector<EncoderKind> attempts;
    std::vector<std::string> lines;  // the last one names the encoder opened, if any
  };
  const Case cases[] = {
      {"auto nvidia, nvenc opens", EncoderChoice::Auto, kNvidiaVendorId, O::Opens, O::Opens, {K::Nvenc},
       {nvencRuns}},
      {"auto nvidia, nvenc fails, mf opens", EncoderChoice::Auto, kNvidiaVendorId, O::Fails, O::Opens,
       {K::Nvenc, K::MediaFoundation}, {fallback, mfRuns}},
      {"auto nvidia, nothing made", EncoderChoice::Auto, kNvidiaVendorId, O::NotMade, O::NotMade,
       {K::Nvenc, K::MediaFoundation}, {fallback, none}},
      {"auto intel goes straight to mf", EncoderChoice::Auto, 0x8086u, O::Opens, O::Opens, {K::MediaFoundation},
       {mfRuns}},
      {"auto unknown vendor is not nvidia", EncoderChoice::Auto, std::nullopt, O::Opens, O::Fails,
       {K::MediaFoundation}, {none}},
      {"nvenc on amd is tried and never falls back", EncoderChoice::Nvenc, 0x1002u, O::Fails, O::Opens, {K::Nvenc},
       {none}},
      {"mf on nvidia never tries nvenc", EncoderChoice::MediaFoundation, kNvidiaVendorId, O::Opens, O::Opens,
       {K::MediaFoundation}, {mfRuns}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World world;
    world.nvenc = c.nvenc;
    world.mf = c.mf;
    const EncoderMaker make = [&world](EncoderKind kind) -> std::unique_ptr<VideoEncoder> {
      world.made.push_back(kind);
      if ((kind == EncoderKind::Nvenc ? world.nvenc : world.mf) == Outcome::NotMade) return nullptr;
      return std::make_unique<FakeEncoder>(world, kind);
    };
    EncoderConfig config;
    config.width = 1280;
    test::LogCapture log;
    std::unique_ptr<VideoEncoder> encoder = OpenVideoEncoder(c.choice, c.vendor, world.device, world.input, config, make);

    EXPECT_EQ(world.made, c.attempts);
    EXPECT_EQ(log.Lines(), c.lines);
    EXPECT_EQ(encoder != nullptr, c.lines.back() != none);
    EXPECT_EQ(world.alive, encoder != nullptr ? 1 : 0) << "failed candidates must be destroyed";
  }
}

}  // namespace
}  // namespace kp
