#include "support/scripted_export_media.h"

#include <algorithm>

namespace kp::test {

namespace {

struct Device {};

class ScriptedVideoSource : public VideoSource {
 public:
  ScriptedVideoSource(const ScriptedSource& source, ScriptedExportMedia& media) : source_(source), media_(media) {
    frameTicks_ = int64_t{10'000'000} * source.fpsDenominator / std::max<uint32_t>(source.fpsNumerator, 1);
  }
  GpuDevice* Device() override { return reinterpret_cast<GpuDevice*>(&device_); }
  void Seek(int64_t time) override {
    media_.seeks.push_back(time);
    next_ = std::max<int64_t>(time, 0) / frameTicks_;
  }
  ReadStatus Read(DecodedPicture* picture) override {
    if (media_.onVideoRead) media_.onVideoRead(reads_);
    ++reads_;
    const int64_t time = next_ * frameTicks_;
    if (time >= source_.pictureEnd) return ReadStatus::EndOfStream;
    if (source_.failDecodeAt >= 0 && time >= source_.failDecodeAt) return ReadStatus::Failed;
    index_ = next_++;
    picture->time = time;
    picture->duration = frameTicks_;
    picture->texture = reinterpret_cast<GpuTexture*>(&index_);
    picture->subresource = 0;
    return ReadStatus::Sample;
  }

 private:
  const ScriptedSource& source_;
  ScriptedExportMedia& media_;
  struct Device device_;
  int64_t frameTicks_ = 0;
  int64_t next_ = 0;
  int64_t index_ = 0;
  int reads_ = 0;
};

class ScriptedProcessor : public EditFrameProcessor {
 public:
  ScriptedProcessor(bool fails, std::vector<int64_t>& times) : fails_(fails), times_(times) {}
  bool Initialize(GpuDevice*, const SourceRect& crop, uint32_t, bool) override {
    output_.Resize(crop.Width(), crop.Height());
    return true;
  }
  bool AddOverlay(const std::wstring& image, int32_t, int32_t, int64_t, int64_t) override { return !image.empty(); }
  bool ProcessFrame(GpuTexture* picture, uint32_t, int64_t time) override {
    if (fails_) return false;
    times_.push_back(time);
    const int64_t index = *reinterpret_cast<const int64_t*>(picture);
    std::fill(output_.data.begin(), output_.data.begin() + static_cast<std::ptrdiff_t>(output_.LumaSize()),
              PictureLuma(index));
    return true;
  }
  GpuTexture* OutputTexture() override { return reinterpret_cast<GpuTexture*>(&output_); }

 private:
  bool fails_;
  std::vector<int64_t>& times_;
  Nv12Frame output_;
};

class ScriptedAudioReader : public AudioTrackReader {
 public:
  ScriptedAudioReader(ScriptedAudioStream stream, int64_t end) : stream_(stream), end_(end) {}
  bool SelectPcm48kStereo() override { return !stream_.refusesPcm; }
  void Seek(int64_t time) override { next_ = (std::max<int64_t>(time, 0) * 48 / 10'000) / stream_.blockFrames; }
  ReadStatus Read(PcmBlock* block) override {
    const int64_t firstFrame = next_ * stream_.blockFrames;
    const int64_t time = firstFrame * 10'000 / 48;
    const int64_t end = stream_.endsAt >= 0 ? stream_.endsAt : end_;
    if (time >= end) return ReadStatus::EndOfStream;
    ++next_;
    samples_.assign(size_t{stream_.blockFrames} * 2, stream_.level);
    block->time = time;
    block->frames = samples_.data();
    block->frameCount = stream_.blockFrames;
    return ReadStatus::Sample;
  }

 private:
  ScriptedAudioStream stream_;
  int64_t end_;
  int64_t next_ = 0;
  std::vector<int16_t> samples_;
};

}  // namespace

std::optional<SourceDescription> ScriptedExportMedia::Describe(const std::wstring&) {
  SourceDescription d;
  d.duration = source_.duration;
  SourceStream video;
  video.index = source_.videoIndex;
  video.kind = StreamKind::Video;
  video.hasFrameSize = true;
  video.width = source_.width;
  video.height = source_.height;
  video.frameRateNumerator = source_.fpsNumerator;
  video.frameRateDenominator = source_.fpsDenominator;
  d.streams.push_back(video);
  for (const ScriptedAudioStream& a : source_.audio) {
    SourceStream s;
    s.index = a.index;
    s.kind = StreamKind::Audio;
    s.averageBytesPerSecond = 20'000;
    d.streams.push_back(s);
  }
  std::sort(d.streams.begin(), d.streams.end(),
            [](const SourceStream& a, const SourceStream& b) { return a.index < b.index; });
  return d;
}

std::unique_ptr<VideoSource> ScriptedExportMedia::OpenVideoSource(size_t adapter, const std::wstring&) {
  if (adapter < source_.adapterWorks.size() && !source_.adapterWorks[adapter]) return nullptr;
  return std::make_unique<ScriptedVideoSource>(source_, *this);
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
