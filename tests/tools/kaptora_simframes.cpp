// kaptora-simframes: a test stream of the Linux build's lossless H.264
// encoder, for the end-to-end conformance check with ffmpeg.
//
//   kaptora-simframes <width> <height> <count> <out.h264> <out.nv12> [--deferred DELAY BATCH]
//
// Varied frames (noise, zero runs and start-code-like byte patterns, edge
// changes, still frames, full changes) go to out.nv12 as raw NV12, their
// Annex-B stream (an IDR picture every 10) to out.h264.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "video/nv12_frame.h"
#include "video/sim_h264_encoder.h"

namespace {

uint64_t state = 0x9E3779B97F4A7C15ull;
uint32_t Below(uint32_t n) {  // xorshift64*
  state ^= state >> 12, state ^= state << 25, state ^= state >> 27;
  return static_cast<uint32_t>((state * 2685821657736338717ull >> 32) % n);
}

// mode 0: noise, 1: zeros, 2: 00 00 0n patterns.
void Fill(kp::Nv12Frame& f, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, int mode) {
  for (uint32_t y = y0; y < y0 + h && y < f.height; ++y) {
    for (uint32_t x = x0; x < x0 + w && x < f.width; ++x) {
      f.Luma(y)[x] = static_cast<uint8_t>(mode == 0 ? Below(256) : mode == 2 && x % 3 == 2 ? (x / 3) % 4 : 0);
      if (y % 2 == 0) f.Chroma(y / 2)[x] = static_cast<uint8_t>(mode == 0 ? Below(256) : 0);
    }
  }
}

void NextFrame(kp::Nv12Frame& f, uint32_t index) {
  const uint32_t w = f.width, h = f.height;
  if (index == 0) {
    Fill(f, 0, 0, w, h, 0);
    Fill(f, 0, h / 4, w, 4, 1);
    Fill(f, 0, h / 2, w, 2, 2);
  } else if (index % 6 == 1) {  // a few changed rectangles
    for (int i = 0; i < 3; ++i) Fill(f, Below(w), Below(h), 1 + Below(40), 2 + Below(30), static_cast<int>(Below(3)));
  } else if (index % 6 == 2) {  // the right and bottom edges (the cropped macroblocks)
    Fill(f, w - std::min<uint32_t>(w, 6), 0, 6, h, 0);
    Fill(f, 0, h - std::min<uint32_t>(h, 4), w, 4, 0);
  } else if (index % 6 == 3) {  // one pixel
    f.Luma(Below(h))[Below(w)] ^= 0x5A;
  } else if (index % 6 == 4) {  // everything
    Fill(f, 0, 0, w, h, 0);
  } else if (index % 6 == 5) {  // zero runs and start-code-like bytes
    Fill(f, 0, Below(h), w, 3, 1);
    Fill(f, Below(w), 0, 9, h, 2);
  }  // else a still frame: every macroblock skipped
}

void AppendAnnexB(const uint8_t* nal, size_t size, std::vector<uint8_t>& out) {
  out.insert(out.end(), {0, 0, 0, 1});
  out.insert(out.end(), nal, nal + size);
}

}  // namespace

int main(int argc, char** argv) {
  const bool deferred = argc == 9 && std::strcmp(argv[6], "--deferred") == 0;
  if (argc != 6 && !deferred) {
    std::fputs("usage: kaptora-simframes <width> <height> <count> <out.h264> <out.nv12> [--deferred DELAY BATCH]\n",
               stderr);
    return 2;
  }
  const uint32_t width = std::atoi(argv[1]), height = std::atoi(argv[2]), count = std::atoi(argv[3]);
  kp::Nv12Frame frame;
  frame.Resize(width, height);
  kp::SimH264Encoder encoder(deferred ? kp::SimH264EncoderOptions::Deferred(std::atoi(argv[7]), std::atoi(argv[8]))
                                      : kp::SimH264EncoderOptions());
  kp::EncoderConfig config;
  config.width = width;
  config.height = height;
  config.fps = 10;  // one IDR picture a "second": every 10 pictures
  config.keyframeSeconds = 1;
  int device = 0;
  std::FILE* frames = std::fopen(argv[5], "wb");
  if (!frames || !encoder.Initialize(reinterpret_cast<kp::GpuDevice*>(&device),
                                     reinterpret_cast<kp::GpuTexture*>(&frame), config)) {
    return 1;
  }
  kp::PacketList packets;
  bool ok = true;
  for (uint32_t i = 0; i < count && ok; ++i) {
    NextFrame(frame, i);
    ok = std::fwrite(frame.data.data(), 1, frame.data.size(), frames) == frame.data.size() &&
         encoder.Encode(int64_t{i} * 1000, 1000, false, packets);
  }
  ok = encoder.Drain(packets) && std::fclose(frames) == 0 && ok && packets.size() == count;

  std::vector<uint8_t> stream;
  AppendAnnexB(encoder.TrackInfo().sps.data(), encoder.TrackInfo().sps.size(), stream);
  AppendAnnexB(encoder.TrackInfo().pps.data(), encoder.TrackInfo().pps.size(), stream);
  for (const auto& packet : packets) {  // 4-byte lengths to start codes
    const std::vector<uint8_t>& d = packet->data;
    for (size_t p = 0, size = 0; ok && p + 4 <= d.size(); p += 4 + size) {
      size = (size_t{d[p]} << 24) | (size_t{d[p + 1]} << 16) | (size_t{d[p + 2]} << 8) | d[p + 3];
      ok = p + 4 + size <= d.size();
      if (ok) AppendAnnexB(d.data() + p + 4, size, stream);
    }
  }
  std::FILE* file = std::fopen(argv[4], "wb");
  ok = ok && file && std::fwrite(stream.data(), 1, stream.size(), file) == stream.size();
  return file && std::fclose(file) == 0 && ok ? 0 : 1;
}
