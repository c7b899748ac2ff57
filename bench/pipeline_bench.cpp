// Capture pipeline benchmarks, each against a baseline in the same run:
//
//  1. The loop's own cost: CPU time of the pipeline thread per frame while
//     RunPipeline paces a null chain (no capture, compose or encode work,
//     one pre-made packet per frame) and a null sink at 1920x1080, 60 fps,
//     on the real clock, against the frame interval. Target: below 1 %.
//  2. The lossless H.264 stand-in on a 1920x1080 P picture with 1 % of its
//     macroblocks changed, against a plain memcmp of two equal frames of the
//     same size (reading both completely). Target: at most 2x.
//
// usage: pipeline_bench [--seconds S] [--runs N]
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/pipeline.h"
#include "workless_chain.h"
#include "video/nv12_frame.h"
#include "video/sim_h264_encoder.h"

namespace {

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class NullChain : public kp::bench::WorklessChain {
 public:
  NullChain() {
    auto packet = std::make_shared<kp::EncodedPacket>();
    packet->data.assign(1000, 0);
    packet_ = packet;
  }
  bool Encode(int64_t, int64_t, kp::PacketList& packets) override {
    packets.push_back(packet_);
    return true;
  }

 private:
  std::shared_ptr<const kp::EncodedPacket> packet_;
};

void BenchLoop(double seconds) {
  kp::bench::WorklessChainFactory<NullChain> factory;
  kp::PipelineConfig config;
  config.fps = 60;
  kp::PipelineState state(config, factory);
  const std::atomic<bool> stop{false};
  int64_t sunk = 0;
  const auto sink = [&](const kp::VideoTrackInfo&, std::shared_ptr<const kp::EncodedPacket>) { ++sunk; };
  const double cpuBefore = ThreadCpuSeconds();
  const int64_t start = static_cast<int64_t>(kp::MonotonicNow());
  kp::RunPipeline(state, stop, start + static_cast<int64_t>(seconds * 1e7), sink);
  const double cpu = ThreadCpuSeconds() - cpuBefore;
  const int64_t slots = state.framesEncoded + state.framesSkipped;
  const double perFrameUs = cpu / static_cast<double>(std::max<int64_t>(1, slots)) * 1e6;
  const double intervalUs = 1e6 / config.fps;
  std::printf("pipeline loop: %lld frames (%lld skipped) in %.1f s, thread CPU %.3f s\n",
              static_cast<long long>(state.framesEncoded.load()), static_cast<long long>(state.framesSkipped.load()),
              seconds, cpu);
  std::printf("pipeline loop: %.1f us CPU per frame = %.3f %% of the %.0f us frame interval (target < 1 %%) %s\n",
              perFrameUs, perFrameUs / intervalUs * 100, intervalUs, perFrameUs / intervalUs < 0.01 ? "OK" : "OVER");
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void BenchEncoder(int runs) {
  constexpr uint32_t kWidth = 1920, kHeight = 1080;
  const uint32_t mbWidth = kWidth / 16, mbHeight = (kHeight + 15) / 16;
  const uint32_t changedPerFrame = mbWidth * mbHeight / 100;  // 1 %
  kp::Nv12Frame frame;
  frame.Resize(kWidth, kHeight);
  std::mt19937 random(42);
  for (uint8_t& b : frame.data) b = static_cast<uint8_t>(random());
  kp::SimH264Encoder encoder;
  kp::EncoderConfig config;
  config.width = kWidth;
  config.height = kHeight;
  config.fps = 60;
  config.keyframeSeconds = 3600;  // P pictures only after the first
  int device = 0;
  if (!encoder.Initialize(reinterpret_cast<kp::GpuDevice*>(&device), reinterpret_cast<kp::GpuTexture*>(&frame),
                          config)) {
    std::fputs("encoder: initialize failed\n", stderr);
    return;
  }
  kp::PacketList packets;
  encoder.Encode(0, 1, false, packets);  // the IDR picture

  std::vector<double> encodeTimes;
  size_t bytes = 0;
  for (int run = 0; run < runs; ++run) {
    for (uint32_t i = 0; i < changedPerFrame; ++i) {
      const uint32_t mb = static_cast<uint32_t>(random() % (mbWidth * (kHeight / 16)));
      const uint32_t x = (mb % mbWidth) * 16, y = (mb / mbWidth) * 16;
      frame.Luma(y + random() % 16)[x + random() % 16] ^= 0x55;
    }
    packets.clear();
    const auto t0 = std::chrono::steady_clock::now();
    encoder.Encode(run + 1, 1, false, packets);
    const auto t1 = std::chrono::steady_clock::now();
    encodeTimes.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    bytes += packets.empty() ? 0 : packets[0]->data.size();
  }

  const std::vector<uint8_t> a = frame.data;
  const std::vector<uint8_t> b = frame.data;
  std::vector<double> compareTimes;
  volatile int sink = 0;
  for (int run = 0; run < runs; ++run) {
    const auto t0 = std::chrono::steady_clock::now();
    sink = sink + std::memcmp(a.data(), b.data(), a.size());
    const auto t1 = std::chrono::steady_clock::now();
    compareTimes.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  const double encode = Median(encodeTimes);
  const double compare = Median(compareTimes);
  std::printf("lossless encoder: 1920x1080 P picture, %u of %u macroblocks changed: median %.0f us, %zu bytes/picture\n",
              changedPerFrame, mbWidth * mbHeight, encode, bytes / static_cast<size_t>(runs));
  std::printf("lossless encoder: memcmp of two equal 1920x1080 NV12 frames: median %.0f us\n", compare);
  std::printf("lossless encoder: ratio %.2f (target <= 2) %s\n", encode / compare, encode / compare <= 2 ? "OK" : "OVER");
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  int runs = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--seconds") {
      seconds = std::max(1.0, std::atof(argv[i + 1]));
    } else if (option == "--runs") {
      runs = std::max(5, std::atoi(argv[i + 1]));
    }
  }
  BenchEncoder(runs);
  BenchLoop(seconds);
  return 0;
}
