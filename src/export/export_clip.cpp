#include "export/export_clip.h"

#include <algorithm>
#include <vector>

#include "app/log.h"
#include "export/export_audio.h"
#include "export/export_segments.h"
#include "export/export_writer.h"
#include "export/input_probe.h"
#include "export/segment_cursor.h"
#include "export/video_spill.h"
#include "platform/text.h"
#include "video/encoder_selection.h"

namespace kp {

namespace {

double Seconds(int64_t ticks) { return static_cast<double>(ticks) / 1e7; }

// The decoder, processor and encoder that work together on one GPU.
struct VideoStage {
  std::unique_ptr<VideoSource> source;
  std::unique_ptr<EditFrameProcessor> processor;
  std::unique_ptr<VideoEncoder> encoder;

  void Release() {
    encoder.reset();  // the encoder reads the processor's texture
    processor.reset();
    source.reset();
  }
};

std::optional<VideoStage> FindGpu(const ExportEnvironment& env, const std::wstring& input, const SourceRect& rect,
                                  const InputInfo& info, EncoderChoice choice, const EncoderConfig& encoderConfig) {
  const VideoEncoderFactory create = env.createEncoder ? env.createEncoder : VideoEncoderFactory(CreateVideoEncoder);
  const size_t adapters = env.media->AdapterCount();
  for (size_t adapter = 0; adapter < adapters; ++adapter) {
    VideoStage stage;
    stage.source = env.media->OpenVideoSource(adapter, input);
    if (!stage.source) continue;
    stage.processor = env.media->CreateEditFrameProcessor();
    if (!stage.processor || !stage.processor->Initialize(stage.source->Device(), rect, info.fps, info.bt709)) {
      stage.Release();
      continue;
    }
    GpuDevice* device = stage.source->Device();
    GpuTexture* texture = stage.processor->OutputTexture();
    stage.encoder = create(choice, device, texture, encoderConfig);
    if (!stage.encoder && choice != EncoderChoice::Auto) {
      stage.encoder = create(EncoderChoice::Auto, device, texture, encoderConfig);
    }
    if (stage.encoder) return stage;
    stage.Release();
  }
  return std::nullopt;
}

class Exporter {
 public:
  Exporter(const ExportJob& job, const PipelineConfig& config, const std::atomic<bool>& cancel,
           const std::function<void(double)>& progress, const ExportEnvironment& env)
      : job_(job), config_(config), cancel_(cancel), progress_(progress), env_(env), spill_(*env.files) {}

  ExportResult Run();

 private:
  // Progress stays within 0..1 and never goes down, whatever the output
  // times of the pictures were.
  void Report(double value) {
    reported_ = std::clamp(value, reported_, 1.0);
    if (progress_) progress_(reported_);
  }
  bool WouldDestroyInput() const;
  bool SpillAll(const PacketList& packets) {
    for (const auto& packet : packets) {
      if (!spill_.Add(*packet)) return false;
    }
    return true;
  }
  ExportResult EncodeVideo(VideoStage& stage);

  const ExportJob& job_;
  const PipelineConfig& config_;
  const std::atomic<bool>& cancel_;
  const std::function<void(double)>& progress_;
  const ExportEnvironment& env_;
  InputInfo info_;
  std::vector<ExportSegment> segments_;
  int64_t outputDuration_ = 0;
  int64_t videoEnd_ = 0;  // source time where the last encoded picture ends
  double reported_ = 0;
  VideoSpill spill_;
};

ExportResult Exporter::EncodeVideo(VideoStage& stage) {
  const int64_t frameDuration = 10'000'000 / info_.fps;
  SegmentCursor cursor(segments_);
  stage.source->Seek(segments_.front().start);
  PacketList packets;
  for (;;) {
    if (cancel_.load()) return ExportResult::Canceled;
    DecodedPicture picture;
    const ReadStatus status = stage.source->Read(&picture);
    if (status == ReadStatus::Failed) {
      Log("export: decoding failed");
      return ExportResult::Failed;
    }
    if (status == ReadStatus::EndOfStream) break;
    if (status == ReadStatus::NoSample) continue;

    const int64_t duration = picture.duration > 0 ? picture.duration : frameDuration;
    const SegmentCursor::Decision decision = cursor.Place(picture.time, duration);
    if (decision.action == SegmentCursor::Action::End) break;
    if (decision.action == SegmentCursor::Action::Seek) stage.source->Seek(decision.seekTo);
    if (decision.action != SegmentCursor::Action::Keep) continue;

    packets.clear();
    if (!picture.texture || !stage.processor->ProcessFrame(picture.texture, picture.subresource, picture.time) ||
        !stage.encoder->Encode(decision.outputTime, duration, /*forceKeyframe=*/false, packets)) {
      Log("export: frame at %.3fs failed", Seconds(picture.time));
      return ExportResult::Failed;
    }
    if (!SpillAll(packets)) return ExportResult::Write;
    videoEnd_ = std::max(videoEnd_, picture.time + duration);
    Report(static_cast<double>(decision.outputTime) * 0.85 / static_cast<double>(std::max<int64_t>(outputDuration_, 1)));
  }
  return ExportResult::Ok;
}

// Every file the export writes to: the output, the MP4 writer's ".part" file
// (moved over the output) and the spilled video. An input that is any of them
// would be truncated before it is read.
bool Exporter::WouldDestroyInput() const {
  const std::optional<FileIdentity> in = env_.identify(job_.input);
  if (!in) return false;
  for (const wchar_t* suffix : {L"", L".part", L".video.tmp"}) {
    if (env_.identify(job_.output + suffix) == in) return true;
  }
  return false;
}

ExportResult Exporter::Run() {
  if (WouldDestroyInput()) {
    Log("export: output would overwrite the input");
    return ExportResult::Input;
  }

  std::optional<InputInfo> probed = ProbeInput(*env_.media, *env_.files, job_.input);
  if (!probed) {
    Log("export: cannot read the input as a video");
    return ExportResult::Input;
  }
  info_ = std::move(*probed);

  segments_ = BuildSegments(job_.keep, info_.duration);
  if (segments_.empty()) {
    Log("export: nothing left to export");
    return ExportResult::Input;
  }
  outputDuration_ = OutputDuration(segments_);

  const SourceRect rect = ComputeSourceRect(job_.crop, info_.width, info_.height);
  Log("export: %ux%u@%u, %.2fs \xE2\x86\x92 %ux%u, %zu part(s), %.2fs, %zu subtitle(s), %zu audio track(s)", info_.width,
      info_.height, info_.fps, Seconds(info_.duration), rect.Width(), rect.Height(), segments_.size(),
      Seconds(outputDuration_), job_.overlays.size(), info_.audioTracks.size());

  const EncoderConfig encoderConfig = MakeExportEncoderConfig(config_, rect.Width(), rect.Height(), info_.fps);
  std::optional<VideoStage> stage =
      FindGpu(env_, job_.input, rect, info_, EncoderChoiceFromValue(config_.encoder), encoderConfig);
  if (!stage) return ExportResult::Encoder;

  for (const OverlaySpec& overlay : job_.overlays) {
    if (!stage->processor->AddOverlay(overlay.image, overlay.x, overlay.y, overlay.start, overlay.end)) {
      return ExportResult::Failed;
    }
  }

  const std::wstring spillPath = job_.output + L".video.tmp";
  if (IoStatus status = spill_.Open(spillPath); !status) {
    Log("export: cannot write next to the output (error %lu)", static_cast<unsigned long>(status.error));
    return ExportResult::Write;
  }

  if (ExportResult result = EncodeVideo(*stage); result != ExportResult::Ok) return result;

  PacketList packets;
  if (!stage->encoder->Drain(packets) || !SpillAll(packets)) return ExportResult::Failed;
  const VideoTrackInfo videoInfo = stage->encoder->TrackInfo();
  if (spill_.Packets().empty() || videoInfo.sps.empty()) {
    Log("export: no video came out");
    return ExportResult::Failed;
  }
  stage->Release();  // the GPU work is over

  std::vector<ExportedAudioTrack> audio;
  const size_t trackCount = info_.audioTracks.size();
  for (size_t i = 0; i < trackCount; ++i) {
    ExportedAudioTrack track;
    if (ExportAudioTrack(*env_.media, job_.input, info_.audioTracks[i], segments_, info_.duration, videoEnd_, cancel_,
                         env_.aacCodec, track)) {
      audio.push_back(std::move(track));
    }
    Report(0.85 + static_cast<double>(i + 1) * 0.07 / static_cast<double>(trackCount));
    if (cancel_.load()) return ExportResult::Canceled;
  }

  spill_.FixDurations();
  if (!spill_.Finish()) return ExportResult::Write;

  uint64_t payloadBytes = 0;
  std::function<void(double)> writeProgress;
  if (progress_) writeProgress = [this](double p) { Report(p); };
  const bool written =
      WriteExportFile(*env_.files, job_.output, videoInfo, spill_, audio, cancel_, writeProgress, &payloadBytes);
  if (cancel_.load()) return ExportResult::Canceled;
  if (!written) return ExportResult::Write;
  // Printed as UTF-8: the C library's wide conversion depends on the locale.
  Log("export: wrote %s (%.1f MB)", WideToUtf8(job_.output).c_str(), static_cast<double>(payloadBytes) / 1e6);
  return ExportResult::Ok;
}

}  // namespace

EncoderConfig MakeExportEncoderConfig(const PipelineConfig& config, uint32_t width, uint32_t height, uint32_t fps) {
  PipelineConfig source = config;
  source.fps = static_cast<int32_t>(fps);
  EncoderConfig e = MakeEncoderConfig(source, OutputSize{width, height});
  e.realtime = 0;
  return e;
}

ExportResult ExportClip(const ExportJob& job, const PipelineConfig& config, const std::atomic<bool>& cancel,
                        const std::function<void(double)>& progress, const ExportEnvironment& environment) {
  if (!environment.media || !environment.media->Start()) return ExportResult::Failed;
  Exporter exporter(job, config, cancel, progress, environment);
  return exporter.Run();
}

ExportResult ExportClip(const ExportJob& job, const PipelineConfig& config, const std::atomic<bool>& cancel,
                        const std::function<void(double)>& progress) {
  std::unique_ptr<ExportMedia> media = CreatePlatformExportMedia();
  ExportEnvironment environment;
  environment.media = media.get();
  return ExportClip(job, config, cancel, progress, environment);
}

}  // namespace kp
