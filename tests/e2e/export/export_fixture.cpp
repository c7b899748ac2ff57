// Runs ExportClip in process over the scripted media system (64x48 at
// 30 fps for 6 s, two audio streams of constant level) with the build's own
// encoder selection (the lossless H.264 stand-in) and FFmpeg's AAC encoder,
// for ffprobe/ffmpeg to judge the MP4 it writes.
//
//   kp_export_fixture <work folder>
//
// Writes <work>/in.mp4 (a small MP4 whose audio traks are named "Desktop
// Audio" and "Microphone", read for the track names) and <work>/out.mp4,
// keeping 1-2 s and 3-4.5 s. Picture n of the source has luma
// 16 + (n * 37) % 220. Prints the export result word.
#include <atomic>
#include <cstdio>
#include <string>

#include "export/export_clip.h"
#include "media/mp4_writer.h"
#include "platform/path.h"
#include "platform/text.h"
#include "support/scripted_export_media.h"
#include "video/sim_h264_encoder.h"

using namespace kp;

namespace {

bool WriteInput(const std::wstring& path) {
  Nv12Frame frame;
  frame.Resize(64, 48);
  SimH264Encoder encoder;
  EncoderConfig config;
  config.width = 64;
  config.height = 48;
  config.fps = 30;
  int device = 0;
  if (!encoder.Initialize(reinterpret_cast<GpuDevice*>(&device), reinterpret_cast<GpuTexture*>(&frame), config)) {
    return false;
  }
  PacketList packets;
  encoder.Encode(0, 333'333, false, packets);
  Mp4Writer writer;
  const int video = writer.AddVideoTrack(encoder.TrackInfo());
  for (auto& p : packets) writer.AddSample(video, p);
  for (const char* name : {"Desktop Audio", "Microphone"}) {
    AudioTrackInfo info{name, 48'000, 2, {0x11, 0x90}};
    const int track = writer.AddAudioTrack(info);
    auto packet = std::make_shared<EncodedPacket>();
    packet->duration = 213'333;
    packet->keyframe = true;
    packet->data.assign(20, 0);
    writer.AddSample(track, packet);
  }
  return writer.Write(path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kp_export_fixture <work folder>\n");
    return 2;
  }
  const std::wstring work = Utf8ToWide(argv[1]);
  ExportJob job;
  job.input = JoinPath(work, L"in.mp4");
  job.output = JoinPath(work, L"out.mp4");
  job.keep = {{10'000'000, 20'000'000}, {30'000'000, 45'000'000}};
  if (!WriteInput(job.input)) return 1;

  // The reader numbers the audio streams first (0, 1), video last.
  test::ScriptedSource source;
  source.videoIndex = 2;
  source.audio = {{0, 6'000, 1'024, -1, false}, {1, -6'000, 1'024, -1, false}};
  test::ScriptedExportMedia media(source);
  ExportEnvironment environment;
  environment.media = &media;
  const std::atomic<bool> cancel{false};
  const ExportResult result = ExportClip(job, PipelineConfig{}, cancel, {}, environment);
  std::printf("%s\n", ExportResultText(result));
  return result == ExportResult::Ok ? 0 : 1;
}
