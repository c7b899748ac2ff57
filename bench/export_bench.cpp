// Export benchmark on the Linux build's media system (FFmpeg reader, CPU
// edit frame processor, lossless H.264 stand-in). Ratios within one run:
//
//  1. Memory does not grow with the video: the peak resident memory of a
//     240-s export against a 60-s export of the same content (each in its
//     own process), with the audio PCM the export holds for a whole track
//     (192,000 bytes per second of output) allowed on top:
//     peak(240) <= 1.2 x peak(60) + PCM(240 s).
//  2. Where the time goes, per frame: decoding, processing (crop, colour
//     conversion, overlay, NV12), encoding, and the rest of the run (spilling,
//     writing the MP4), as shares of the whole; processing also against a
//     memcpy of one NV12 frame of the output size.
//
// usage: export_bench DIR   (DIR is emptied and reused; needs ffmpeg)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "export/export_clip.h"
#include "export/ffmpeg_export_media.h"
#include "platform/text.h"
#include "video/encoder_selection.h"

using namespace kp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kWidth = 640;
constexpr uint32_t kHeight = 360;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool MakeSource(const std::string& path, int seconds, bool audio) {
  // A still background with a small box that moves: mostly static, so the
  // lossless stand-in's output stays small.
  std::string cmd = "ffmpeg -v error -y -f lavfi -i 'color=c=0x204080:s=" + std::to_string(kWidth) + "x" +
                    std::to_string(kHeight) + ":r=30:d=" + std::to_string(seconds) +
                    ",drawbox=x=mod(t*40\\," + std::to_string(kWidth - 32) + "):y=40:w=32:h=32:color=yellow:t=fill'";
  if (audio) cmd += " -f lavfi -i 'sine=frequency=440:sample_rate=48000:duration=" + std::to_string(seconds) + "'";
  cmd += " -c:v libx264 -preset ultrafast -g 60";
  if (audio) cmd += " -c:a aac -ac 2";
  cmd += " '" + path + "'";
  return std::system(cmd.c_str()) == 0;
}

ExportJob Job(const std::string& input, const std::string& output) {
  ExportJob job;
  job.input = Utf8ToWide(input);
  job.output = Utf8ToWide(output);
  job.crop = CropRect{true, 16, 16, static_cast<int32_t>(kWidth) - 32, static_cast<int32_t>(kHeight) - 32};
  return job;
}

// Child process: one export; exit code 0 on success.
int ExportOnce(const std::string& input, const std::string& output) {
  const std::atomic<bool> cancel{false};
  return ExportClip(Job(input, output), PipelineConfig{}, cancel, {}) == ExportResult::Ok ? 0 : 1;
}

// Peak resident set of an export run in a child process, in bytes; 0 on failure.
uint64_t PeakOfExport(const std::string& self, const std::string& input, const std::string& output) {
  const pid_t child = fork();
  if (child == 0) {
    execl(self.c_str(), self.c_str(), "--export", input.c_str(), output.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return 0;
  }
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;
}

// Time spent in each stage, by decorators around the real objects.
struct StageTimes {
  double decode = 0, process = 0, encode = 0;
  uint64_t frames = 0;
};

class TimedSource : public VideoSource {
 public:
  TimedSource(std::unique_ptr<VideoSource> inner, StageTimes& t) : inner_(std::move(inner)), t_(t) {}
  GpuDevice* Device() override { return inner_->Device(); }
  void Seek(int64_t time) override { inner_->Seek(time); }
  ReadStatus Read(DecodedPicture* picture) override {
    const auto start = Clock::now();
    const ReadStatus status = inner_->Read(picture);
    t_.decode += Since(start);
    return status;
  }

 private:
  std::unique_ptr<VideoSource> inner_;
  StageTimes& t_;
};

class TimedProcessor : public EditFrameProcessor {
 public:
  TimedProcessor(std::unique_ptr<EditFrameProcessor> inner, StageTimes& t) : inner_(std::move(inner)), t_(t) {}
  bool Initialize(GpuDevice* d, const SourceRect& crop, uint32_t fps, bool bt709) override {
    return inner_->Initialize(d, crop, fps, bt709);
  }
  bool AddOverlay(const std::wstring& image, int32_t x, int32_t y, int64_t start, int64_t end) override {
    return inner_->AddOverlay(image, x, y, start, end);
  }
  bool ProcessFrame(GpuTexture* picture, uint32_t subresource, int64_t time) override {
    const auto start = Clock::now();
    const bool ok = inner_->ProcessFrame(picture, subresource, time);
    t_.process += Since(start);
    ++t_.frames;
    return ok;
  }
  GpuTexture* OutputTexture() override { return inner_->OutputTexture(); }

 private:
  std::unique_ptr<EditFrameProcessor> inner_;
  StageTimes& t_;
};

class TimedEncoder : public VideoEncoder {
 public:
  TimedEncoder(std::unique_ptr<VideoEncoder> inner, StageTimes& t) : inner_(std::move(inner)), t_(t) {}
  bool Initialize(GpuDevice* d, GpuTexture* input, const EncoderConfig& c) override {
    return inner_->Initialize(d, input, c);
  }
  bool Encode(int64_t pts, int64_t duration, bool key, PacketList& packets) override {
    const auto start = Clock::now();
    const bool ok = inner_->Encode(pts, duration, key, packets);
    t_.encode += Since(start);
    return ok;
  }
  bool Drain(PacketList& packets) override { return inner_->Drain(packets); }
  const VideoTrackInfo& TrackInfo() const override { return inner_->TrackInfo(); }
  std::string Name() const override { return inner_->Name(); }

 private:
  std::unique_ptr<VideoEncoder> inner_;
  StageTimes& t_;
};

class TimedMedia : public FfmpegExportMedia {
 public:
  explicit TimedMedia(StageTimes& t) : t_(t) {}
  std::unique_ptr<VideoSource> OpenVideoSource(size_t adapter, const std::wstring& input) override {
    auto inner = FfmpegExportMedia::OpenVideoSource(adapter, input);
    return inner ? std::make_unique<TimedSource>(std::move(inner), t_) : nullptr;
  }
  std::unique_ptr<EditFrameProcessor> CreateEditFrameProcessor() override {
    return std::make_unique<TimedProcessor>(FfmpegExportMedia::CreateEditFrameProcessor(), t_);
  }

 private:
  StageTimes& t_;
};

double MemcpyOfOneFrame() {
  const size_t bytes = size_t{kWidth - 32} * (kHeight - 32) * 3 / 2;
  std::vector<uint8_t> from(bytes, 1), to(bytes);
  std::vector<double> runs;
  for (int r = 0; r < 9; ++r) {
    const auto start = Clock::now();
    for (int i = 0; i < 200; ++i) {
      from[static_cast<size_t>(i) % bytes] = static_cast<uint8_t>(i);
      std::memcpy(to.data(), from.data(), bytes);
    }
    runs.push_back(Since(start) / 200);
    if (to[7] == 255) std::puts("");  // keeps the copies
  }
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--export") == 0) return ExportOnce(argv[2], argv[3]);
  if (argc != 2) {
    std::fprintf(stderr, "usage: export_bench DIR\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string s60 = (dir / "s60.mp4").string(), s240 = (dir / "s240.mp4").string();
  const std::string video = (dir / "video.mp4").string();
  if (!MakeSource(s60, 60, true) || !MakeSource(s240, 240, true) || !MakeSource(video, 20, false)) {
    std::fprintf(stderr, "export_bench: ffmpeg could not make the sources\n");
    return 1;
  }

  const uint64_t peak60 = PeakOfExport(self, s60, (dir / "o60.mp4").string());
  const uint64_t peak240 = PeakOfExport(self, s240, (dir / "o240.mp4").string());
  if (peak60 == 0 || peak240 == 0) {
    std::fprintf(stderr, "export_bench: an export failed\n");
    return 1;
  }
  const double pcm240 = 240.0 * 192'000;
  const double limit = 1.2 * static_cast<double>(peak60) + pcm240;
  std::printf("memory: peak 60 s export %.1f MB, 240 s export %.1f MB; limit 1.2 x 60 s + PCM of 240 s (%.1f MB) "
              "= %.1f MB -> %s (240/60 ratio %.2f)\n",
              peak60 / 1e6, peak240 / 1e6, pcm240 / 1e6, limit / 1e6, peak240 <= limit ? "ok" : "OVER",
              static_cast<double>(peak240) / static_cast<double>(peak60));

  StageTimes t;
  TimedMedia media(t);
  ExportEnvironment env;
  env.media = &media;
  env.createEncoder = [&t](EncoderChoice choice, GpuDevice* d, GpuTexture* input,
                           const EncoderConfig& c) -> std::unique_ptr<VideoEncoder> {
    auto inner = CreateVideoEncoder(choice, d, input, c);
    return inner ? std::make_unique<TimedEncoder>(std::move(inner), t) : nullptr;
  };
  const std::atomic<bool> cancel{false};
  const auto start = Clock::now();
  const ExportResult result = ExportClip(Job(video, (dir / "timed.mp4").string()), PipelineConfig{}, cancel, {}, env);
  const double total = Since(start);
  if (result != ExportResult::Ok || t.frames == 0) {
    std::fprintf(stderr, "export_bench: the timed export failed\n");
    return 1;
  }
  const double rest = std::max(0.0, total - t.decode - t.process - t.encode);
  const double n = static_cast<double>(t.frames);
  std::printf("time: %llu frames %ux%u -> %ux%u, %.3f ms per frame: decode %.0f %%, process %.0f %%, encode %.0f %%, "
              "write and the rest %.0f %%\n",
              static_cast<unsigned long long>(t.frames), kWidth, kHeight, kWidth - 32, kHeight - 32, total / n * 1e3,
              100 * t.decode / total, 100 * t.process / total, 100 * t.encode / total, 100 * rest / total);
  const double copy = MemcpyOfOneFrame();
  std::printf("process: %.3f ms per frame = %.0f x a memcpy of one NV12 frame (%.4f ms)\n", t.process / n * 1e3,
              t.process / n / copy, copy * 1e3);
  return 0;
}
