#include "support/scripted_export_media.h"

#include <algorithm>

#include "video/nv12_frame.h"

namespace kp::test {
namespace {

constexpr int64_t kFrameTicks = 333'333;  // 30 pictures a second

class ScriptedVideoSource : public VideoSource {
 public:
  explicit ScriptedVideoSource(const ScriptedSource& source) : source_(source) {}
  GpuDevice* Device() override { return reinterpret_cast<GpuDevice*>(this); }
  void Seek(int64_t time) override { next_ = std::max<int64_t>(time, 0) / kFrameTicks; }
  ReadStatus Read(DecodedPicture* picture) override {
    const int64_t time = next_ * kFrameTicks;
    if (time >= source_.pictureEnd) return ReadStatus::EndOfStream;
    if (source_.failDecodeAt >= 0 && time >= source_.failDecodeAt) return ReadStatus::Failed;
    ++next_;
    *picture = {time, kFrameTicks, reinterpret_cast<GpuTexture*>(this), 0};
    return ReadStatus::Sample;
  }

 private:
  const ScriptedSource& source_;
  int64_t next_ = 0;
};

class ScriptedProcessor : public EditFrameProcessor {
 public:
  ScriptedProcessor(bool fails, std::vector<int64_t>& times) : fails_(fails), times_(times) {}
  bool Initialize(GpuDevice*, const SourceRect& crop, uint32_t, bool) override {
    output_.Resize(crop.Width(), crop.Height());
    return true;
  }
  bool AddOverlay(const std::wstring& image, int32_t, int32_t, int64_t, int64_t) override { return !image.empty(); }
  bool ProcessFrame(GpuTexture*, uint32_t, int64_t time) override {
    times_.push_back(time);
    return !fails_;
  }
  GpuTexture* OutputTexture() override { return reinterpret_cast<GpuTexture*>(&output_); }

 private:
  bool fails_;
  std::vector<int64_t>& times_;
  Nv12Frame output_;
};

class ScriptedAudioReader : public AudioTrackReader {
 public:
  ScriptedAudioReader(ScriptedAudioStream stream, int64_t end)
      : stream_(stream), end_(stream.endsAt >= 0 ? stream.endsAt : end) {}
  bool SelectPcm48kStereo() override { return !stream_.refusesPcm; }
  void Seek(int64_t time) override { next_ = std::max<int64_t>(time, 0) * 48 / 10'000 / 1'024; }
  ReadStatus Read(PcmBlock* block) override {
    const int64_t time = next_ * 1'024 * 10'000 / 48;
    if (time >= end_) return ReadStatus::EndOfStream;
    ++next_;
    *block = {time, samples_.data(), 1'024};
    return ReadStatus::Sample;
  }

 private:
  ScriptedAudioStream stream_;
  int64_t end_;
  int64_t next_ = 0;
  std::vector<int16_t> samples_ = std::vector<int16_t>(2'048, 1'000);
};

}  // namespace

std::optional<SourceDescription> ScriptedExportMedia::Describe(const std::wstring&) {
  if (!source_.readable) return std::nullopt;
  SourceDescription d{60'000'000, {{0, StreamKind::Video, true, 64, 48, 30, 1, std::nullopt, 0, std::nullopt}}};
  for (const ScriptedAudioStream& a : source_.audio) {
    d.streams.push_back({a.index, StreamKind::Audio, false, 0, 0, 0, 0, std::nullopt, 20'000, std::nullopt});
  }
  return d;
}

std::unique_ptr<VideoSource> ScriptedExportMedia::OpenVideoSource(size_t adapter, const std::wstring&) {
  if (!source_.adapterWorks.at(adapter)) return nullptr;
  return std::make_unique<ScriptedVideoSource>(source_);
}

std::unique_ptr<EditFrameProcessor> ScriptedExportMedia::CreateEditFrameProcessor() {
  return std::make_unique<ScriptedProcessor>(source_.processorFails, processedTimes);
}

std::unique_ptr<AudioTrackReader> ScriptedExportMedia::OpenAudioTrack(const std::wstring&, uint32_t streamIndex) {
  for (const ScriptedAudioStream& a : source_.audio) {
    if (a.index == streamIndex) return std::make_unique<ScriptedAudioReader>(a, source_.pictureEnd);
  }
  return nullptr;
}

}  // namespace kp::test
