// ExportClip over the scripted media system with the lossless stand-in
// encoder and FFmpeg's AAC encoder: results, log lines, the file written,
// and what is left behind on every path.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>

#include "export/export_clip.h"
#include "export/video_spill.h"
#include "support/fault_files.h"
#include "support/log_capture.h"
#include "support/mp4_box_reader.h"
#include "support/scripted_export_media.h"
#include "support/temp_folder.h"
#include "platform/text.h"
#include "video/encoder_selection.h"
#include "video/sim_h264_encoder.h"

namespace kp {
namespace {

constexpr int64_t kS = 10'000'000;

// Sets a flag when the MP4 writer creates its ".part" file, i.e. just
// before the payload producer runs.
class CancelOnPartFiles : public test::FaultFiles {
 public:
  explicit CancelOnPartFiles(std::atomic<bool>& cancel) : cancel_(cancel) {}
  IoStatus Create(const std::wstring& path, const CreateOptions& options, std::unique_ptr<File>* out) override {
    if (path.size() > 5 && path.substr(path.size() - 5) == L".part") cancel_ = true;
    return FaultFiles::Create(path, options, out);
  }

 private:
  std::atomic<bool>& cancel_;
};

class ExportClipTest : public ::testing::Test {
 protected:
  ExportClipTest() {
    job.input = folder.File(L"in.mp4");
    job.output = folder.File(L"out.mp4");
    test::WriteFileBytes(job.input, "not an mp4; the scripted reader ignores it");
    source.audio = {{1, 2'000, 1'024, -1, false}, {2, 4'000, 960, -1, false}};
  }

  ExportResult Run(Files& files = SystemFiles()) {
    media = std::make_unique<test::ScriptedExportMedia>(source);
    ExportEnvironment env;
    env.media = media.get();
    env.files = &files;
    env.createEncoder = [this](EncoderChoice choice, GpuDevice* device, GpuTexture* input,
                               const EncoderConfig& c) -> std::unique_ptr<VideoEncoder> {
      choices.push_back(choice);
      if (choice != EncoderChoice::Auto && !choiceWorks) return nullptr;
      encoderConfig = c;
      auto encoder = std::make_unique<SimH264Encoder>();
      if (!encoder->Initialize(device, input, c)) return nullptr;
      return encoder;
    };
    return ExportClip(job, config, cancel, [this](double p) { progress.push_back(p); }, env);
  }

  bool LeftNothing() const {
    return !test::FileExists(job.output) && !test::FileExists(job.output + L".video.tmp") &&
           !test::FileExists(job.output + L".part");
  }

  test::TempFolder folder;
  test::LogCapture log;
  ExportJob job;
  test::ScriptedSource source;
  PipelineConfig config;
  std::atomic<bool> cancel{false};
  std::unique_ptr<test::ScriptedExportMedia> media;
  std::vector<EncoderChoice> choices;
  bool choiceWorks = true;
  EncoderConfig encoderConfig;
  std::vector<double> progress;
};

TEST_F(ExportClipTest, WritesKeptVideoAndAudioTracks) {
  job.keep = {{3 * kS, 4 * kS}, {1 * kS, 2 * kS}};
  job.crop = {true, 8, 8, 32, 32};
  ASSERT_EQ(Run(), ExportResult::Ok);
  EXPECT_TRUE(log.Has("export: 64x48@30, 6.00s \xE2\x86\x92 32x32, 2 part(s), 2.00s, 0 subtitle(s), 2 audio track(s)"));
  EXPECT_EQ(log.CountStartingWith("export: wrote " + folder.utf8() + "/out.mp4 ("), 1);
  EXPECT_EQ(encoderConfig.realtime, 0u);
  EXPECT_EQ(encoderConfig.fps, 30u);
  EXPECT_FALSE(test::FileExists(job.output + L".video.tmp"));

  test::Mp4File file;
  std::string error;
  ASSERT_TRUE(file.Parse(test::ReadFileBytes(job.output), &error)) << error;
  ASSERT_EQ(file.Traks().size(), 3u);
  test::Mp4Track video, audio2;  // the third trak
  ASSERT_TRUE(test::ReadTrack(file, *file.Traks()[0], &video, &error)) << error;
  ASSERT_TRUE(test::ReadTrack(file, *file.Traks()[2], &audio2, &error)) << error;
  EXPECT_EQ(video.sizes.size(), 60u);
  // The writer lays audio traks out last to first.
  EXPECT_EQ(audio2.handlerName, "Audio 1");
  // Every source picture of the kept seconds, in order, none other.
  ASSERT_EQ(media->processedTimes.size(), 60u);
  // Pictures every 333,333 ticks: the first kept ones are those whose
  // midpoints pass 1 s and 3 s.
  EXPECT_EQ(media->processedTimes.front(), 30 * 333'333);
  EXPECT_EQ(media->processedTimes[30], 90 * 333'333);

  ASSERT_FALSE(progress.empty());
  for (size_t i = 1; i < progress.size(); ++i) EXPECT_GE(progress[i], progress[i - 1]);
  EXPECT_DOUBLE_EQ(progress.back(), 1.0);
  EXPECT_NE(std::find(progress.begin(), progress.end(), 0.85 + 0.07 / 2), progress.end());
}

TEST_F(ExportClipTest, InputProblemsFailBeforeDecoding) {
  ASSERT_EQ(::link(WideToUtf8(job.input).c_str(), WideToUtf8(job.output).c_str()), 0);
  EXPECT_EQ(Run(), ExportResult::Input);
  EXPECT_TRUE(log.Has("export: output would overwrite the input"));
  EXPECT_TRUE(media->processedTimes.empty());

  job.output = folder.File(L"other.mp4");
  job.keep = {{0, 5'000}};
  EXPECT_EQ(Run(), ExportResult::Input);
  EXPECT_TRUE(log.Has("export: nothing left to export"));
}

TEST_F(ExportClipTest, EncoderIsTriedAgainWithAutoAndAdaptersInTurn) {
  config.encoder = 1;  // NVENC only
  choiceWorks = false;
  source.adapters = 2;
  source.adapterWorks = {false, true};
  EXPECT_EQ(Run(), ExportResult::Ok);
  EXPECT_EQ(choices, (std::vector<EncoderChoice>{EncoderChoice::Nvenc, EncoderChoice::Auto}));

  source.adapterWorks = {false, false};
  EXPECT_EQ(Run(), ExportResult::Encoder);
}

TEST_F(ExportClipTest, FailuresMapToTheirResults) {
  source.failDecodeAt = 2 * kS;
  EXPECT_EQ(Run(), ExportResult::Failed);
  EXPECT_TRUE(log.Has("export: decoding failed"));
  EXPECT_TRUE(LeftNothing());

  source.failDecodeAt = -1;
  source.processorFails = true;
  EXPECT_EQ(Run(), ExportResult::Failed);
  EXPECT_TRUE(log.Has("export: frame at 0.000s failed"));

  source.processorFails = false;
  test::FaultFiles files;
  files.FailCreate(L".video.tmp", 13);
  EXPECT_EQ(Run(files), ExportResult::Write);
  EXPECT_TRUE(log.Has("export: cannot write next to the output (error 13)"));

  files.ClearFaults();
  files.FailWritesAfter(L".video.tmp", 0);
  EXPECT_EQ(Run(files), ExportResult::Write);
  EXPECT_TRUE(LeftNothing());
}

TEST_F(ExportClipTest, CancelStopsTheLoopOrThePayloadAndLeavesNoOutput) {
  media.reset();
  source.pictureEnd = 60'000'000;
  // Cancel during the video loop.
  cancel = false;
  {
    source.audio.clear();
    auto scripted = std::make_unique<test::ScriptedExportMedia>(source);
    scripted->onVideoRead = [this](int reads) {
      if (reads == 10) cancel = true;
    };
    ExportEnvironment env;
    env.media = scripted.get();
    EXPECT_EQ(ExportClip(job, config, cancel, {}, env), ExportResult::Canceled);
    // The picture read when the flag was set is still encoded; the next
    // pass stops.
    EXPECT_EQ(scripted->processedTimes.size(), 11u);
    EXPECT_TRUE(LeftNothing());
  }
  // Cancel while the payload streams.
  cancel = false;
  CancelOnPartFiles files(cancel);
  EXPECT_EQ(Run(files), ExportResult::Canceled);
  EXPECT_TRUE(LeftNothing());
}

TEST(VideoSpillTest, ReadsBackEveryPacketInOrderThroughASmallBuffer) {
  test::TempFolder folder;
  VideoSpill spill(SystemFiles(), 10);
  ASSERT_TRUE(spill.Open(folder.File(L"x.video.tmp")));
  EXPECT_FALSE(test::FileExists(folder.File(L"x.video.tmp")));  // unlinked at once
  for (int i = 0; i < 5; ++i) {
    EncodedPacket p;
    p.pts = i * 100;
    p.duration = 7;
    p.data.assign(static_cast<size_t>(3 + i * 2), static_cast<uint8_t>(i));
    ASSERT_TRUE(spill.Add(p));
  }
  spill.FixDurations();
  ASSERT_TRUE(spill.Finish());
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(spill.ReadNext(spill.Packets()[i].size, bytes));
    EXPECT_EQ(bytes, std::vector<uint8_t>(static_cast<size_t>(3 + i * 2), static_cast<uint8_t>(i)));
    EXPECT_EQ(spill.Packets()[i].duration, i < 4 ? 100 : 7);
  }
}

}  // namespace
}  // namespace kp
