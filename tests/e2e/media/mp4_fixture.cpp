// Test fixture: turns an Annex-B H.264 stream and ADTS AAC streams (made by
// the ffmpeg command line) into packets the way the encoders hand them over,
// and writes them with Mp4Writer::Write(path), for ffprobe to judge.
//
// usage: kp_mp4_fixture <video.h264> <width> <height> <fps> <out.mp4>
//                       [<audio.adts> <name> <start-ms>]...
// Prints one line per track: "video <frames> <keyframes>", "audio <frames>".
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "media/adts_reader.h"
#include "media/mp4_writer.h"
#include "platform/text.h"
#include "video/h264_annexb.h"
#include "video/h264_stream_reader.h"

namespace {

constexpr int64_t kBase = 5'000'000'000;  // an arbitrary monotonic clock reading

std::vector<uint8_t> ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6 || (argc - 6) % 3 != 0) {
    std::fprintf(stderr, "usage: kp_mp4_fixture <video.h264> <width> <height> <fps> <out.mp4> "
                         "[<audio.adts> <name> <start-ms>]...\n");
    return 2;
  }
  const std::vector<uint8_t> video = ReadFile(argv[1]);
  const int64_t fps = std::atoll(argv[4]);
  kp::VideoTrackInfo info;
  info.fps = static_cast<uint32_t>(fps);
  info.width = static_cast<uint32_t>(std::atoi(argv[2]));
  info.height = static_cast<uint32_t>(std::atoi(argv[3]));
  if (!kp::ExtractParameterSets(video, info.sps, info.pps)) {
    std::fprintf(stderr, "no SPS/PPS in %s\n", argv[1]);
    return 1;
  }
  kp::Mp4Writer writer;
  const int videoTrack = writer.AddVideoTrack(info);
  int frames = 0, keyframes = 0;
  for (const kp::H264AccessUnit& unit : kp::SplitAccessUnits(video)) {
    auto packet = std::make_shared<kp::EncodedPacket>();
    packet->pts = kBase + frames * 10'000'000 / fps;
    packet->duration = 10'000'000 / fps;
    packet->keyframe = unit.idr;
    kp::AppendLengthPrefixed(unit.bytes, packet->data);
    if (packet->data.empty()) continue;
    keyframes += unit.idr ? 1 : 0;
    writer.AddSample(videoTrack, std::move(packet));
    ++frames;
  }
  std::printf("video %d %d\n", frames, keyframes);

  std::vector<std::vector<uint8_t>> audioFiles;  // the frames are views into these
  for (int a = 6; a + 2 < argc; a += 3) {
    kp::AdtsStream stream;
    std::string error;
    if (!kp::ReadAdtsStream(audioFiles.emplace_back(ReadFile(argv[a])), &stream, &error)) {
      std::fprintf(stderr, "%s: %s\n", argv[a], error.c_str());
      return 1;
    }
    kp::AudioTrackInfo audio;
    audio.name = argv[a + 1];
    audio.sampleRate = stream.sampleRate;
    audio.channels = stream.channels;
    audio.audioSpecificConfig = stream.audioSpecificConfig;
    const int track = writer.AddAudioTrack(audio);
    const int64_t start = kBase + std::atoll(argv[a + 2]) * 10'000;
    auto at = [&](int64_t k) { return start + k * 1024 * 10'000'000 / stream.sampleRate; };
    for (size_t k = 0; k < stream.frames.size(); ++k) {
      auto packet = std::make_shared<kp::EncodedPacket>();
      packet->pts = at(static_cast<int64_t>(k));
      packet->duration = at(static_cast<int64_t>(k) + 1) - packet->pts;
      packet->keyframe = true;
      packet->data.assign(stream.frames[k].begin(), stream.frames[k].end());
      writer.AddSample(track, std::move(packet));
    }
    std::printf("audio %zu\n", stream.frames.size());
  }
  return writer.Write(kp::Utf8ToWide(argv[5])) ? 0 : 1;
}
