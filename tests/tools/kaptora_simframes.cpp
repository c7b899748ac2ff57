// kaptora-simframes: writes what the Linux build's video chain produces, so
// end-to-end tests compare decoded output with the program's own frames
// rather than with a re-implementation.
//
//   kaptora-simframes frames <width> <height> <count> <out.nv12> [--no-cursor]
//     The composed NV12 frames k = 0 .. count-1 of the synthetic desktop at
//     the given output size, exactly as a recording of `count` new images
//     composes them.
//
//   kaptora-simframes h264 <width> <height> <count> <out.h264> <out.nv12>
//                          [--keyframe-interval N] [--deferred DELAY BATCH]
//     A test stream of the lossless encoder: varied frames (noise, zero runs
//     and start-code-like byte patterns, edge changes, still frames, full
//     changes) as raw NV12, and their H.264 stream in Annex-B form.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/pipeline_config.h"
#include "video/nv12_frame.h"
#include "video/sim_h264_encoder.h"
#include "video/sim_video_chain.h"

namespace {

int Usage() {
  std::fputs(
      "usage: kaptora-simframes frames <width> <height> <count> <out.nv12> [--no-cursor]\n"
      "       kaptora-simframes h264 <width> <height> <count> <out.h264> <out.nv12>\n"
      "                              [--keyframe-interval N] [--deferred DELAY BATCH]\n",
      stderr);
  return 2;
}

bool ParseCount(const char* text, uint32_t* out) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (!end || *end != '\0' || v == 0 || v > 100000) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool WriteAll(std::FILE* file, const void* data, size_t size) { return std::fwrite(data, 1, size, file) == size; }

int WriteComposedFrames(uint32_t width, uint32_t height, uint32_t count, const char* path, bool showCursor) {
  kp::SimVideoChain chain{kp::SimChainOptions{}};
  kp::OutputDescription output;
  kp::PipelineConfig config;
  if (!chain.FindOutput(config.monitor, &output) || !chain.CreateDevice() || !chain.OpenCapture(config) ||
      !chain.InitializeComposer(width, height, static_cast<uint32_t>(config.fps))) {
    return 1;
  }
  std::FILE* file = std::fopen(path, "wb");
  if (!file) return 1;
  bool ok = true;
  for (uint32_t k = 0; k < count && ok; ++k) {
    chain.AcquireFrame();
    ok = chain.Compose(showCursor);
    const kp::Nv12Frame& frame = chain.ComposedFrame();
    ok = ok && WriteAll(file, frame.data.data(), frame.data.size());
  }
  ok = std::fclose(file) == 0 && ok;
  return ok ? 0 : 1;
}

// xorshift64*: a small deterministic generator for the test content.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 2685821657736338717ull;
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }

 private:
  uint64_t state_;
};

void FillLumaRect(kp::Nv12Frame& f, Random& random, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, int mode) {
  for (uint32_t y = y0; y < y0 + h && y < f.height; ++y) {
    for (uint32_t x = x0; x < x0 + w && x < f.width; ++x) {
      uint8_t v = static_cast<uint8_t>(random.Next() >> 56);
      if (mode == 1) v = 0;                                      // zero runs
      if (mode == 2) v = static_cast<uint8_t>((x % 3 == 2) ? (x / 3) % 4 : 0);  // 00 00 0n patterns
      f.Luma(y)[x] = v;
    }
  }
  for (uint32_t y = y0 / 2; y < (y0 + h) / 2 && y < f.height / 2; ++y) {
    for (uint32_t x = x0 & ~1u; x < x0 + w && x < f.width; ++x) {
      f.Chroma(y)[x] = mode == 0 ? static_cast<uint8_t>(random.Next() >> 56) : 0;
    }
  }
}

void NextTestFrame(kp::Nv12Frame& f, Random& random, uint32_t index) {
  const uint32_t w = f.width;
  const uint32_t h = f.height;
  if (index == 0) {
    FillLumaRect(f, random, 0, 0, w, h, 0);
    FillLumaRect(f, random, 0, h / 4, w, 4, 1);
    FillLumaRect(f, random, 0, h / 2, w, 2, 2);
    return;
  }
  switch (index % 6) {
    case 0:  // a still frame: every macroblock skipped
      break;
    case 1:  // a few changed rectangles
      for (int i = 0; i < 3; ++i) {
        FillLumaRect(f, random, random.Below(w), random.Below(h), 1 + random.Below(40), 2 + random.Below(30),
                     static_cast<int>(random.Below(3)));
      }
      break;
    case 2:  // the right and bottom edges (the cropped macroblocks)
      FillLumaRect(f, random, w - std::min<uint32_t>(w, 6), 0, 6, h, 0);
      FillLumaRect(f, random, 0, h - std::min<uint32_t>(h, 4), w, 4, 0);
      break;
    case 3:  // one pixel
      f.Luma(random.Below(h))[random.Below(w)] ^= 0x5A;
      break;
    case 4:  // everything
      FillLumaRect(f, random, 0, 0, w, h, 0);
      break;
    default:  // zero runs and start-code-like bytes
      FillLumaRect(f, random, 0, random.Below(h), w, 3, 1);
      FillLumaRect(f, random, random.Below(w), 0, 9, h, 2);
      break;
  }
}

void AppendAnnexB(const std::vector<uint8_t>& nal, std::vector<uint8_t>& out) {
  static const uint8_t kStartCode[4] = {0, 0, 0, 1};
  out.insert(out.end(), kStartCode, kStartCode + 4);
  out.insert(out.end(), nal.begin(), nal.end());
}

int WriteTestStream(uint32_t width, uint32_t height, uint32_t count, const char* streamPath, const char* framesPath,
                    uint32_t keyframeInterval, kp::SimH264EncoderOptions options) {
  kp::Nv12Frame frame;
  frame.Resize(width, height);
  kp::SimH264Encoder encoder(options);
  kp::EncoderConfig config;
  config.width = width;
  config.height = height;
  config.fps = keyframeInterval;  // one IDR picture every `keyframeInterval` pictures
  config.keyframeSeconds = 1;
  int device = 0;
  if (!encoder.Initialize(reinterpret_cast<kp::GpuDevice*>(&device), reinterpret_cast<kp::GpuTexture*>(&frame),
                          config)) {
    return 1;
  }
  std::FILE* frames = std::fopen(framesPath, "wb");
  if (!frames) return 1;
  Random random(0x9E3779B97F4A7C15ull ^ (uint64_t{width} << 20) ^ height);
  kp::PacketList packets;
  bool ok = true;
  for (uint32_t i = 0; i < count && ok; ++i) {
    NextTestFrame(frame, random, i);
    ok = WriteAll(frames, frame.data.data(), frame.data.size()) &&
         encoder.Encode(int64_t{i} * 1000, 1000, false, packets);
  }
  ok = encoder.Drain(packets) && std::fclose(frames) == 0 && ok;
  if (!ok || packets.size() != count) return 1;

  std::vector<uint8_t> stream;
  AppendAnnexB(encoder.TrackInfo().sps, stream);
  AppendAnnexB(encoder.TrackInfo().pps, stream);
  for (const auto& packet : packets) {
    const std::vector<uint8_t>& d = packet->data;
    for (size_t p = 0; p + 4 <= d.size();) {
      const size_t size = (size_t{d[p]} << 24) | (size_t{d[p + 1]} << 16) | (size_t{d[p + 2]} << 8) | d[p + 3];
      if (p + 4 + size > d.size()) return 1;
      AppendAnnexB(std::vector<uint8_t>(d.begin() + static_cast<std::ptrdiff_t>(p + 4),
                                        d.begin() + static_cast<std::ptrdiff_t>(p + 4 + size)),
                   stream);
      p += 4 + size;
    }
  }
  std::FILE* file = std::fopen(streamPath, "wb");
  if (!file) return 1;
  ok = WriteAll(file, stream.data(), stream.size());
  ok = std::fclose(file) == 0 && ok;
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) return Usage();
  const std::string mode = argv[1];
  uint32_t width = 0, height = 0, count = 0;
  if (!ParseCount(argv[2], &width) || !ParseCount(argv[3], &height) || !ParseCount(argv[4], &count)) return Usage();
  if (mode == "frames") {
    bool showCursor = true;
    for (int i = 6; i < argc; ++i) {
      if (std::strcmp(argv[i], "--no-cursor") == 0) {
        showCursor = false;
      } else {
        return Usage();
      }
    }
    return WriteComposedFrames(width, height, count, argv[5], showCursor);
  }
  if (mode == "h264" && argc >= 7) {
    uint32_t keyframeInterval = 10;
    kp::SimH264EncoderOptions options;
    for (int i = 7; i < argc; ++i) {
      if (std::strcmp(argv[i], "--keyframe-interval") == 0 && i + 1 < argc) {
        if (!ParseCount(argv[++i], &keyframeInterval)) return Usage();
      } else if (std::strcmp(argv[i], "--deferred") == 0 && i + 2 < argc) {
        uint32_t delay = 0, batch = 0;
        if (!ParseCount(argv[i + 1], &delay) || !ParseCount(argv[i + 2], &batch)) return Usage();
        options = kp::SimH264EncoderOptions::Deferred(delay, batch);
        i += 2;
      } else {
        return Usage();
      }
    }
    return WriteTestStream(width, height, count, argv[5], argv[6], keyframeInterval, options);
  }
  return Usage();
}
