// Engine benchmark: does saving disturb recording?
//
// The engine records 1920x1080 at 60 fps through a cheap video chain (a
// pre-made 20 Mbit/s packet per frame, keyframes every 2 s) plus the
// platform's audio (tone source and AAC on Linux) into a real replay buffer.
// Once the window is full it counts the frame slots the pipeline skips over
// one window with no saves (the baseline), then over the same time while ten
// saves of the whole window are requested back to back, and the time until
// the last of them is written. Target: skips with saves <= 1.1 x baseline + 1.
//
// usage: engine_bench [--window SECONDS] [--saves N] [--folder DIR]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "engine/engine.h"
#include "platform/text.h"
#include "workless_chain.h"

namespace {

constexpr int kFps = 60;
constexpr int64_t kInterval = kp::kTicksPerSecond / kFps;

// Counts skipped slots from gaps in the time stamps it is asked to encode.
std::atomic<int64_t> g_skipped{0};

class CheapChain : public kp::bench::WorklessChain {
 public:
  CheapChain() {
    for (int i = 0; i < 2; ++i) {
      auto packet = std::make_shared<kp::EncodedPacket>();
      packet->data.assign(20'000'000 / 8 / kFps, static_cast<uint8_t>(i));
      packets_[i] = packet;
    }
    track_.sps = {0x67, 0x64, 0x00, 0x28};
    track_.pps = {0x68, 0xEE, 0x3C, 0x80};
  }
  bool Encode(int64_t pts, int64_t duration, kp::PacketList& packets) override {
    if (last_ != 0 && pts - last_ > kInterval + kInterval / 2) g_skipped += (pts - last_ + kInterval / 2) / kInterval - 1;
    last_ = pts;
    auto packet = std::make_shared<kp::EncodedPacket>();
    const bool keyframe = frame_++ % (2 * kFps) == 0;
    packet->pts = pts;
    packet->duration = duration;
    packet->keyframe = keyframe;
    packet->data = packets_[keyframe ? 0 : 1]->data;
    packets.push_back(std::move(packet));
    return true;
  }

 private:
  std::shared_ptr<const kp::EncodedPacket> packets_[2];
  int64_t last_ = 0;
  int64_t frame_ = 0;
};

double Seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

}  // namespace

int main(int argc, char** argv) {
  int window = 60;
  int saves = 10;
  std::string folder = "/tmp/kaptora-engine-bench";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--window") == 0) window = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--saves") == 0) saves = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--folder") == 0) folder = argv[i + 1];
  }
  std::filesystem::remove_all(folder);

  kp::bench::WorklessChainFactory<CheapChain> chains;
  kp::EngineEnvironment environment;
  environment.chains = &chains;
  kp::Engine engine(nullptr, std::move(environment));
  kp::Settings settings;
  settings.bufferSeconds = window;
  settings.folder = kp::Utf8ToWide(folder + "/clips");
  settings.bufferFolder = kp::Utf8ToWide(folder + "/buffer");
  settings.microphone.enabled = false;
  engine.ApplySettings(settings);

  std::printf("engine bench: filling a %d s window at 1920x1080, %d fps, 20 Mbit/s\n", window, kFps);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(window + 2));

  const int64_t before = g_skipped.load();
  std::this_thread::sleep_for(std::chrono::seconds(window));
  const int64_t baseline = g_skipped.load() - before;

  const int64_t atSaves = g_skipped.load();
  const auto start = std::chrono::steady_clock::now();
  int requested = 0;
  for (int i = 0; i < saves; ++i) requested += engine.RequestSave() ? 1 : 0;
  double drained = -1;
  while (Seconds(start) < window || drained < 0) {
    if (drained < 0 && engine.GetStatus().pendingSaves == 0) drained = Seconds(start);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (Seconds(start) > 30.0 * window) break;
  }
  const int64_t withSaves = g_skipped.load() - atSaves;
  engine.Shutdown();

  const double limit = 1.1 * static_cast<double>(baseline) + 1.0;
  std::printf("frames skipped in %d s: %lld without saves, %lld with %d saves of the window (target <= %.1f) %s\n",
              window, static_cast<long long>(baseline), static_cast<long long>(withSaves), requested, limit,
              static_cast<double>(withSaves) <= limit ? "OK" : "OVER");
  std::printf("per minute: %.1f without saves, %.1f with saves\n", baseline * 60.0 / window,
              withSaves * 60.0 / window);
  std::printf("pending saves reached 0 after %.1f s (%.2f s per %d s clip)\n", drained, drained / requested, window);
  std::filesystem::remove_all(folder);
  return 0;
}
