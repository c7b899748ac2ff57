// kaptora-mux: turns an H.264 Annex-B elementary stream and up to three AAC
// ADTS streams into an MP4 clip by the same road live packets take: they get
// the time stamps a live recorder gives them, go through a real replay buffer
// on disk, and the clip of the last S seconds is selected and written exactly
// as a save does. Used to check the buffer and the clip writer end to end
// with real encoder output.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "media/adts_reader.h"
#include "media/clip_file.h"
#include "media/packet.h"
#include "media/replay_buffer.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "video/h264_annexb.h"
#include "video/h264_stream_reader.h"

namespace {

constexpr char kUsage[] =
    "usage: kaptora-mux --video FILE.h264 --fps N [--audio FILE.aac]... --buffer DIR [--seconds S] OUT.mp4\n"
    "\n"
    "Reads an H.264 Annex-B stream (without B-frames) and up to three AAC ADTS streams,\n"
    "pushes them through a replay buffer in DIR with live time stamps (one clock for all\n"
    "streams, video at N frames per second, audio in 1024-sample frames), and writes the\n"
    "clip of the last S seconds (default: everything) to OUT.mp4.\n";

constexpr size_t kMaxAudioTracks = 3;

struct Options {
  std::string video;
  uint32_t fps = 0;
  std::vector<std::string> audio;
  std::string buffer;
  double seconds = 0;  // 0: everything
  std::string out;
};

enum class ParseResult { kOk, kHelp, kBad };

ParseResult ParseArguments(int argc, char** argv, Options* options, std::string* problem) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        *problem = std::string(name) + " needs a value";
        return nullptr;
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") return ParseResult::kHelp;
    if (arg == "--video") {
      const char* v = value("--video");
      if (v == nullptr) return ParseResult::kBad;
      options->video = v;
    } else if (arg == "--fps") {
      const char* v = value("--fps");
      if (v == nullptr) return ParseResult::kBad;
      char* end = nullptr;
      errno = 0;
      const unsigned long fps = std::strtoul(v, &end, 10);
      if (errno != 0 || *v == '\0' || *end != '\0' || fps == 0 || fps > 1000) {
        *problem = "--fps must be a whole number from 1 to 1000";
        return ParseResult::kBad;
      }
      options->fps = static_cast<uint32_t>(fps);
    } else if (arg == "--audio") {
      const char* v = value("--audio");
      if (v == nullptr) return ParseResult::kBad;
      if (options->audio.size() == kMaxAudioTracks) {
        *problem = "at most three --audio streams";
        return ParseResult::kBad;
      }
      options->audio.push_back(v);
    } else if (arg == "--buffer") {
      const char* v = value("--buffer");
      if (v == nullptr) return ParseResult::kBad;
      options->buffer = v;
    } else if (arg == "--seconds") {
      const char* v = value("--seconds");
      if (v == nullptr) return ParseResult::kBad;
      char* end = nullptr;
      const double s = std::strtod(v, &end);
      if (*v == '\0' || *end != '\0' || !(s > 0) || s > 86400) {
        *problem = "--seconds must be a positive number of seconds";
        return ParseResult::kBad;
      }
      options->seconds = s;
    } else if (!arg.empty() && arg[0] == '-') {
      *problem = "unknown option " + arg;
      return ParseResult::kBad;
    } else if (options->out.empty()) {
      options->out = arg;
    } else {
      *problem = "more than one output file";
      return ParseResult::kBad;
    }
  }
  if (options->video.empty() || options->fps == 0 || options->buffer.empty() || options->out.empty()) {
    *problem = "--video, --fps, --buffer and the output file are required";
    return ParseResult::kBad;
  }
  return ParseResult::kOk;
}

bool ReadInput(const std::string& path, std::string* bytes) {
  kp::IoStatus status = kp::ReadWholeFile(kp::SystemFiles(), kp::Utf8ToWide(path), bytes);
  if (!status) {
    std::fprintf(stderr, "kaptora-mux: cannot read %s (error %lu)\n", path.c_str(),
                 static_cast<unsigned long>(status.error));
    return false;
  }
  return true;
}

std::span<const uint8_t> AsBytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

struct VideoPacket {
  std::shared_ptr<const kp::VideoTrackInfo> info;
  std::shared_ptr<const kp::EncodedPacket> packet;
};

// Frame k is at k * 10,000,000 / fps: the same integer rule for every frame,
// so durations alternate where the period is not a whole tick count.
int64_t FrameTime(uint64_t k, uint32_t fps) {
  return static_cast<int64_t>(k * static_cast<uint64_t>(kp::kTicksPerSecond) / fps);
}

bool ReadVideo(const std::string& bytes, uint32_t fps, std::vector<VideoPacket>* out) {
  kp::VideoTrackInfo info;
  info.fps = fps;
  std::shared_ptr<const kp::VideoTrackInfo> current;
  uint64_t frame = 0;
  for (const kp::H264AccessUnit& unit : kp::SplitAccessUnits(AsBytes(bytes))) {
    bool hasSlice = false;
    for (std::span<const uint8_t> nal : unit.nals) {
      const uint8_t type = kp::NalType(nal);
      if (type == kp::kNalSps) {
        kp::H264SpsFields sps;
        if (!kp::ParseSps(nal, &sps)) {
          std::fprintf(stderr, "kaptora-mux: cannot read the sequence parameter set\n");
          return false;
        }
        info.sps.assign(nal.begin(), nal.end());
        info.width = sps.width;
        info.height = sps.height;
      } else if (type == kp::kNalPps) {
        info.pps.assign(nal.begin(), nal.end());
      } else if (type == kp::kNalSlice || type == kp::kNalIdrSlice) {
        hasSlice = true;
      }
    }
    if (!hasSlice) continue;
    if (unit.badSlice) {
      std::fprintf(stderr, "kaptora-mux: cannot read a slice header in picture %llu\n",
                   static_cast<unsigned long long>(frame));
      return false;
    }
    if (unit.bSlice) {
      std::fprintf(stderr,
                   "kaptora-mux: the video stream has B-frames, which clips cannot hold; "
                   "encode it without them (e.g. x264 -bf 0)\n");
      return false;
    }
    if (info.sps.empty() || info.pps.empty()) {
      std::fprintf(stderr, "kaptora-mux: picture %llu comes before any SPS and PPS\n",
                   static_cast<unsigned long long>(frame));
      return false;
    }
    if (!current || !(*current == info)) current = std::make_shared<const kp::VideoTrackInfo>(info);

    auto packet = std::make_shared<kp::EncodedPacket>();
    packet->pts = FrameTime(frame, fps);
    packet->duration = FrameTime(frame + 1, fps) - packet->pts;
    packet->keyframe = unit.idr;
    kp::AppendLengthPrefixed(unit.bytes, packet->data);
    out->push_back({current, std::move(packet)});
    ++frame;
  }
  if (out->empty()) {
    std::fprintf(stderr, "kaptora-mux: the video stream holds no pictures\n");
    return false;
  }
  return true;
}

struct AudioInput {
  std::string bytes;
  kp::AdtsStream stream;
};

int Run(const Options& options) {
  std::string videoBytes;
  if (!ReadInput(options.video, &videoBytes)) return 1;
  std::vector<VideoPacket> video;
  if (!ReadVideo(videoBytes, options.fps, &video)) return 1;

  std::vector<AudioInput> audio(options.audio.size());
  std::vector<kp::AudioTrackInfo> audioTracks;
  for (size_t t = 0; t < options.audio.size(); ++t) {
    if (!ReadInput(options.audio[t], &audio[t].bytes)) return 1;
    std::string problem;
    if (!kp::ReadAdtsStream(AsBytes(audio[t].bytes), &audio[t].stream, &problem)) {
      std::fprintf(stderr, "kaptora-mux: %s: %s\n", options.audio[t].c_str(), problem.c_str());
      return 1;
    }
    kp::AudioTrackInfo info;
    info.name = "Audio " + std::to_string(t + 1);
    info.sampleRate = audio[t].stream.sampleRate;
    info.channels = audio[t].stream.channels;
    info.audioSpecificConfig = audio[t].stream.audioSpecificConfig;
    audioTracks.push_back(std::move(info));
  }

  // Audio frame n starts at sample n * 1024 of its track.
  auto audioTime = [&](size_t t, uint64_t n) {
    return static_cast<int64_t>(n * 1024 * static_cast<uint64_t>(kp::kTicksPerSecond) /
                                audio[t].stream.sampleRate);
  };
  int64_t now = video.back().packet->pts + video.back().packet->duration;
  for (size_t t = 0; t < audio.size(); ++t) now = std::max(now, audioTime(t, audio[t].stream.frames.size()));

  const int64_t length = options.seconds > 0
                             ? static_cast<int64_t>(options.seconds * static_cast<double>(kp::kTicksPerSecond))
                             : now + kp::kTicksPerSecond;
  auto buffer = std::make_shared<kp::ReplayBuffer>(kp::Utf8ToWide(options.buffer), length);
  buffer->SetAudioTracks(audioTracks);

  // Push in time order across the streams, as a live recorder delivers them.
  size_t nextVideo = 0;
  std::vector<size_t> nextAudio(audio.size(), 0);
  for (;;) {
    int best = -1;  // -1 none, 0 video, t + 1 audio track t
    int64_t bestPts = 0;
    if (nextVideo < video.size()) {
      best = 0;
      bestPts = video[nextVideo].packet->pts;
    }
    for (size_t t = 0; t < audio.size(); ++t) {
      if (nextAudio[t] >= audio[t].stream.frames.size()) continue;
      const int64_t pts = audioTime(t, nextAudio[t]);
      if (best < 0 || pts < bestPts) {
        best = static_cast<int>(t) + 1;
        bestPts = pts;
      }
    }
    if (best < 0) break;
    if (best == 0) {
      VideoPacket& v = video[nextVideo++];
      buffer->PushVideo(*v.info, std::move(v.packet));
    } else {
      const size_t t = static_cast<size_t>(best) - 1;
      const uint64_t n = nextAudio[t]++;
      auto packet = std::make_shared<kp::EncodedPacket>();
      packet->pts = audioTime(t, n);
      packet->duration = audioTime(t, n + 1) - packet->pts;
      packet->keyframe = true;
      const std::span<const uint8_t> frame = audio[t].stream.frames[n];
      packet->data.assign(frame.begin(), frame.end());
      buffer->PushAudio(best - 1, std::move(packet));
    }
  }

  kp::ReplayBuffer::Clip clip;
  if (!buffer->TakeClip(length, now, clip)) {
    std::fprintf(stderr, "kaptora-mux: the buffer holds no video (no keyframe in the stream?)\n");
    return 1;
  }
  buffer->ExtendClipAudio(clip);
  if (!kp::WriteClipFile(clip, kp::Utf8ToWide(options.out), {})) {
    std::fprintf(stderr, "kaptora-mux: cannot write %s\n", options.out.c_str());
    return 1;
  }
  std::printf("video %zu samples from %.6f s to %.6f s\n", clip.videoPackets.size(),
              static_cast<double>(clip.start) / kp::kTicksPerSecond,
              static_cast<double>(clip.end) / kp::kTicksPerSecond);
  for (size_t t = 0; t < clip.audioPackets.size(); ++t) {
    std::printf("audio %zu: %zu samples\n", t + 1, clip.audioPackets[t].size());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string problem;
  switch (ParseArguments(argc, argv, &options, &problem)) {
    case ParseResult::kHelp:
      std::fputs(kUsage, stdout);
      return 0;
    case ParseResult::kBad:
      std::fprintf(stderr, "kaptora-mux: %s\n%s", problem.c_str(), kUsage);
      return 2;
    case ParseResult::kOk:
      break;
  }
  return Run(options);
}
