// ExportClip over the scripted media system with the lossless stand-in
// encoder and FFmpeg's AAC encoder: results, log lines, the file written,
// and what is left behind on every path.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>

#include "export/export_clip.h"
#include "export/export_writer.h"
#include "export/video_spill.h"
#include "platform/text.h"
#include "support/fault_files.h"
#include "support/log_capture.h"
#include "support/mp4_box_reader.h"
#include "support/scripted_export_media.h"
#include "support/temp_folder.h"
#include "video/sim_h264_encoder.h"

namespace kp {
namespace {

constexpr int64_t kS = 10'000'000;

// Sets the cancel flag when the MP4 writer creates its ".part" file, just
// before the payload is streamed.
class CancelOnPartFiles : public test::FaultFiles {
 public:
  explicit CancelOnPartFiles(std::atomic<bool>& cancel) : cancel_(cancel) {}
  IoStatus Create(const std::wstring& path, const CreateOptions& options, std::unique_ptr<File>* out) override {
    if (path.ends_with(L".part")) cancel_ = true;
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
    job.keep = {{0, 1 * kS}};
    test::WriteFileBytes(job.input, "not an mp4; the scripted reader ignores it");
    source.audio = {{1, -1, false}, {2, -1, false}};
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
      return encoder->Initialize(device, input, c) ? std::move(encoder) : nullptr;
    };
    const auto report = [this](double p) {
      progress.push_back(p);
      if (progress.size() == cancelAfter) cancel = true;
    };
    return ExportClip(job, config, cancel, report, env);
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
  size_t cancelAfter = 0;  // progress values, one per picture encoded
  std::vector<EncoderChoice> choices;
  bool choiceWorks = true;
  EncoderConfig encoderConfig;
  std::vector<double> progress;
};

// The first adapter cannot open the input, and the chosen encoder (NVENC
// only) fails on the second: tried again with Auto there.
TEST_F(ExportClipTest, WritesKeptVideoAndAudioTracks) {
  job.keep = {{3 * kS, 4 * kS}, {5'000'000, 15'000'000}};
  job.crop = {true, 8, 8, 32, 32};
  config.encoder = 1;
  choiceWorks = false;
  source.adapterWorks = {false, true};
  ASSERT_EQ(Run(), ExportResult::Ok);
  EXPECT_EQ(choices, (std::vector<EncoderChoice>{EncoderChoice::Nvenc, EncoderChoice::Auto}));
  EXPECT_TRUE(log.Has("export: 64x48@30, 6.00s \xE2\x86\x92 32x32, 2 part(s), 2.00s, 0 subtitle(s), 2 audio track(s)"));
  EXPECT_EQ(log.CountStartingWith("export: wrote " + folder.utf8() + "/out.mp4 ("), 1);
  EXPECT_EQ(encoderConfig.realtime, 0u);
  EXPECT_EQ(encoderConfig.fps, 30u);
  EXPECT_FALSE(test::FileExists(job.output + L".video.tmp"));
  // Every source picture of the kept seconds, in order: the first kept ones
  // are those (every 333,333 ticks) whose midpoints pass 0.5 s and 3 s, the
  // first starting before its keep start.
  ASSERT_EQ(media->processedTimes.size(), 60u);
  EXPECT_EQ(media->processedTimes.front(), 15 * 333'333);
  EXPECT_EQ(media->processedTimes[30], 90 * 333'333);

  test::Mp4Parsed parsed;
  ASSERT_TRUE(test::ReadMp4(job.output, &parsed));
  const std::vector<test::Mp4Track>& tracks = parsed.tracks;
  ASSERT_EQ(tracks.size(), 3u);
  std::vector<std::pair<uint64_t, uint64_t>> samples;  // offset, size
  for (const test::Mp4Track& track : tracks) {
    for (size_t i = 0; i < track.sizes.size(); ++i) samples.emplace_back(track.offsets[i], track.sizes[i]);
  }
  EXPECT_EQ(tracks[0].sizes.size(), 60u);
  EXPECT_EQ(tracks[2].handlerName, "Audio 1");  // audio traks are laid out last to first
  // The samples of all tracks fill the payload end to end, none overlapping.
  std::sort(samples.begin(), samples.end());
  const test::Mp4Box* mdat = parsed.file.Find("mdat");
  ASSERT_NE(mdat, nullptr);
  uint64_t end = mdat->payloadOffset();
  for (auto [offset, size] : samples) end = offset == end ? end + size : 0;
  EXPECT_EQ(end, mdat->offset + mdat->size);

  ASSERT_FALSE(progress.empty());
  EXPECT_GE(progress.front(), 0.0);
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_DOUBLE_EQ(progress.back(), 1.0);
  EXPECT_TRUE(std::any_of(progress.begin(), progress.end(), [](double p) { return std::abs(p - 0.885) < 1e-9; }))
      << "one of two audio tracks done";
}

TEST_F(ExportClipTest, InputThatIsAFileTheExportWritesIsRefusedAndKept) {
  // The output itself (through a second link), or the MP4 writer's ".part"
  // or the spilled video's name: each would be truncated before it is read.
  const std::string bytes = test::ReadFileBytes(job.input);
  const std::wstring output = job.output;
  for (const wchar_t* suffix : {L"", L".part", L".video.tmp"}) {
    job.input = output + suffix;
    if (*suffix == L'\0') {
      job.input = folder.File(L"in.mp4");
      ASSERT_EQ(::link(WideToUtf8(job.input).c_str(), WideToUtf8(output).c_str()), 0);
    } else {
      test::WriteFileBytes(job.input, bytes);
    }
    log.Clear();
    EXPECT_EQ(Run(), ExportResult::Input);
    EXPECT_TRUE(log.Has("export: output would overwrite the input"));
    EXPECT_TRUE(media->processedTimes.empty());
    EXPECT_EQ(test::ReadFileBytes(job.input), bytes);
    ::unlink(WideToUtf8(output).c_str());
  }
}

TEST_F(ExportClipTest, FailuresMapToTheirResultsAndLeaveNothing) {
  test::FaultFiles files;
  const std::tuple<const char*, std::function<void()>, ExportResult> cases[] = {  // log line, fault, result
      {"export: nothing left to export", [&] { job.keep = {{0, 5'000}}; }, ExportResult::Input},
      {"export: cannot read the input as a video", [&] { source.readable = false; }, ExportResult::Input},
      {"", [&] { source.adapterWorks = {false, false}; }, ExportResult::Encoder},
      {"export: decoding failed", [&] { source.failDecodeAt = kS / 2; }, ExportResult::Failed},
      {"export: frame at 0.000s failed", [&] { source.processorFails = true; }, ExportResult::Failed},
      {"export: no video came out", [&] { source.pictureEnd = 0; }, ExportResult::Failed},
      {"export: cannot write next to the output (error 13)", [&] { files.FailCreate(L".video.tmp", 13); },
       ExportResult::Write},
      {"", [&] { files.FailWritesAfter(L".video.tmp", 0); }, ExportResult::Write},
  };
  for (const auto& [line, fault, result] : cases) {
    const test::ScriptedSource good = source;
    const ExportJob whole = job;
    fault();
    EXPECT_EQ(Run(files), result) << line;
    EXPECT_TRUE(*line == '\0' || log.Has(line)) << line;
    EXPECT_TRUE(LeftNothing()) << line;
    source = good;
    job = whole;
    files.ClearFaults();
  }
}

TEST_F(ExportClipTest, CancelStopsTheLoopOrThePayloadAndLeavesNoOutput) {
  cancelAfter = 10;
  EXPECT_EQ(Run(), ExportResult::Canceled);
  EXPECT_EQ(media->processedTimes.size(), 10u);
  EXPECT_TRUE(LeftNothing());

  cancelAfter = 0;
  cancel = false;
  CancelOnPartFiles files(cancel);
  EXPECT_EQ(Run(files), ExportResult::Canceled);
  EXPECT_TRUE(LeftNothing());
}

TEST(VideoSpillTest, EverySampleGetsItsOwnBytesWhateverThePayloadOrder) {
  // Spilled through a 10-byte buffer in an order that is not the pts order,
  // as after a cut whose times stepped back: the interleave lays the payload
  // out by pts, and each sample must still hold its own packet's bytes.
  test::TempFolder folder;
  const std::wstring out = folder.File(L"x.mp4");
  VideoSpill spill(SystemFiles(), 10);
  ASSERT_TRUE(spill.Open(out + L".video.tmp"));
  EXPECT_FALSE(test::FileExists(out + L".video.tmp"));  // unlinked at once
  const int64_t pts[] = {0, 300, 100, 200, 400};
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(spill.Add({pts[i], 7, i == 0, std::vector<uint8_t>(3 + i * 2, uint8_t(0x10 + i))}));
  }
  ASSERT_TRUE(spill.Finish());
  VideoTrackInfo info;
  info.width = 64;
  info.height = 48;
  info.sps = {0x67, 0x42, 0xC0, 0x1E};
  info.pps = {0x68, 0xCE};
  std::atomic<bool> cancel{false};
  uint64_t payload = 0;
  ASSERT_TRUE(WriteExportFile(SystemFiles(), out, info, spill, {}, cancel, {}, &payload));
  EXPECT_EQ(payload, 3u + 5 + 7 + 9 + 11);

  test::Mp4Parsed parsed;
  ASSERT_TRUE(test::ReadMp4(out, &parsed));
  const test::Mp4Track& track = parsed.tracks.at(0);
  ASSERT_EQ(track.sizes.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(parsed.file.bytes().substr(track.offsets[i], track.sizes[i]),
              std::string(3 + i * 2, char(0x10 + i))) << i;
  }
}

}  // namespace
}  // namespace kp
