// Test fixture: turns an Annex-B H.264 elementary stream and ADTS AAC
// streams (made by the ffmpeg command line) into packets the way the
// encoders hand them over, and writes them with Mp4Writer::Write(path), so an
// independent reader can judge the file.
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

#include "media/mp4_writer.h"
#include "platform/text.h"
#include "video/h264_annexb.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kBase = 5'000'000'000;  // an arbitrary monotonic clock reading

bool ReadFile(const char* path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool IsVcl(uint8_t type) { return type == 1 || type == 5; }

// Access units of an elementary stream: a new one starts at a delimiter,
// parameter set or SEI that follows a picture, or at a slice whose
// first_mb_in_slice is 0 (first bit of the slice header set) after a picture.
// Each access unit is returned as its original Annex-B byte range.
std::vector<std::span<const uint8_t>> SplitAccessUnits(const Bytes& stream) {
  const std::vector<std::span<const uint8_t>> units = kp::SplitAnnexB(stream);
  std::vector<size_t> starts;  // index of each access unit's first NAL unit
  bool havePicture = false;
  for (size_t i = 0; i < units.size(); ++i) {
    const uint8_t type = kp::NalType(units[i]);
    const bool prefix = type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18);
    const bool firstSlice = IsVcl(type) && units[i].size() > 1 && (units[i][1] & 0x80) != 0;
    if (starts.empty() || (havePicture && (prefix || firstSlice))) {
      starts.push_back(i);
      havePicture = false;
    }
    if (IsVcl(type)) havePicture = true;
  }
  std::vector<std::span<const uint8_t>> accessUnits;
  for (size_t k = 0; k < starts.size(); ++k) {
    // Each range starts at the 00 00 01 before its first unit.
    const uint8_t* begin = units[starts[k]].data() - 3;
    const uint8_t* end = k + 1 < starts.size() ? units[starts[k + 1]].data() - 3 : stream.data() + stream.size();
    accessUnits.emplace_back(begin, static_cast<size_t>(end - begin));
  }
  return accessUnits;
}

struct AdtsStream {
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
  Bytes audioSpecificConfig;
  std::vector<Bytes> frames;
};

bool SplitAdts(const Bytes& data, AdtsStream* out) {
  static const uint32_t kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                    22050, 16000, 12000, 11025, 8000,  7350};
  size_t pos = 0;
  while (pos + 7 <= data.size()) {
    const uint8_t* h = data.data() + pos;
    if (h[0] != 0xFF || (h[1] & 0xF0) != 0xF0) return false;
    const size_t headerSize = (h[1] & 1) ? 7 : 9;
    const uint32_t profile = h[2] >> 6;
    const uint32_t rateIndex = (h[2] >> 2) & 0xF;
    const uint32_t channels = ((h[2] & 1) << 2) | (h[3] >> 6);
    const size_t frameLength = ((h[3] & 3u) << 11) | (uint32_t{h[4]} << 3) | (h[5] >> 5);
    if (rateIndex >= std::size(kRates) || frameLength < headerSize || pos + frameLength > data.size()) return false;
    if (out->frames.empty()) {
      out->sampleRate = kRates[rateIndex];
      out->channels = channels;
      const uint32_t asc = ((profile + 1) << 11) | (rateIndex << 7) | (channels << 3);
      out->audioSpecificConfig = {static_cast<uint8_t>(asc >> 8), static_cast<uint8_t>(asc)};
    }
    out->frames.emplace_back(h + headerSize, h + frameLength);
    pos += frameLength;
  }
  return pos == data.size() && !out->frames.empty();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6 || (argc - 6) % 3 != 0) {
    std::fprintf(stderr,
                 "usage: kp_mp4_fixture <video.h264> <width> <height> <fps> <out.mp4> "
                 "[<audio.adts> <name> <start-ms>]...\n");
    return 2;
  }
  Bytes video;
  if (!ReadFile(argv[1], &video)) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  const int64_t fps = std::atoll(argv[4]);
  kp::VideoTrackInfo info;
  info.fps = static_cast<uint32_t>(fps);
  if (!kp::ExtractParameterSets(video, info.sps, info.pps)) {
    std::fprintf(stderr, "no SPS/PPS in the video stream\n");
    return 1;
  }
  info.width = static_cast<uint32_t>(std::atoi(argv[2]));
  info.height = static_cast<uint32_t>(std::atoi(argv[3]));

  kp::Mp4Writer writer;
  const int videoTrack = writer.AddVideoTrack(info);
  int frames = 0;
  int keyframes = 0;
  for (std::span<const uint8_t> accessUnit : SplitAccessUnits(video)) {
    auto packet = std::make_shared<kp::EncodedPacket>();
    packet->pts = kBase + frames * 10'000'000 / fps;
    packet->duration = 10'000'000 / fps;
    for (std::span<const uint8_t> unit : kp::SplitAnnexB(accessUnit)) {
      if (kp::NalType(unit) == 5) packet->keyframe = true;
    }
    kp::AppendLengthPrefixed(accessUnit, packet->data);
    if (packet->data.empty()) continue;
    keyframes += packet->keyframe ? 1 : 0;
    writer.AddSample(videoTrack, std::move(packet));
    ++frames;
  }
  std::printf("video %d %d\n", frames, keyframes);

  for (int a = 6; a + 2 < argc; a += 3) {
    Bytes data;
    AdtsStream stream;
    if (!ReadFile(argv[a], &data) || !SplitAdts(data, &stream)) {
      std::fprintf(stderr, "bad ADTS stream %s\n", argv[a]);
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
      packet->data = std::move(stream.frames[k]);
      writer.AddSample(track, std::move(packet));
    }
    std::printf("audio %zu\n", stream.frames.size());
  }
  return writer.Write(kp::Utf8ToWide(argv[5])) ? 0 : 1;
}
