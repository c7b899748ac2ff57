// The audio mixer thread's own cost: three tracks (mixed + desktop + mic)
// from the two tone sources, with a null AAC codec so that only the
// pipeline's work is measured (ring reads, mixing, 16-bit conversion, the
// encoder wrapper, the callback). The figure is the mixer thread's CPU time
// over its wall time, read on that thread at its start and end.
//
//   audio_bench [seconds]   (default 12, at least 10)
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "audio/audio_pipeline.h"

namespace {

using namespace kp;

// Takes every block and never produces output.
class NullAacCodec : public AacCodec {
 public:
  uint32_t SetInputType() override { return kOk; }
  uint32_t SetOutputType(uint32_t) override { return kOk; }
  uint32_t OutputBufferSize() override { return 0; }
  void BeginStream() override {}
  uint32_t ProcessInput(const int16_t*, uint32_t, int64_t, int64_t) override { return kOk; }
  uint32_t ProcessOutput(uint32_t, std::vector<uint8_t>* data, bool*, int64_t*) override {
    data->clear();
    return kNeedMoreInput;
  }
  uint32_t Drain() override { return kOk; }
};

double Seconds(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 12.0;
  if (seconds < 10.0) seconds = 10.0;

  AudioConfig config;
  config.microphoneEnabled = true;
  config.trackLayout = "mixed+separate";

  double cpuStart = 0, wallStart = 0, cpuEnd = 0, wallEnd = 0;
  AudioEnvironment environment;
  environment.codecFactory = [](uint32_t*) -> std::unique_ptr<AacCodec> { return std::make_unique<NullAacCodec>(); };
  environment.onMixerThreadStart = [&] {
    cpuStart = Seconds(CLOCK_THREAD_CPUTIME_ID);
    wallStart = Seconds(CLOCK_MONOTONIC);
  };
  environment.onMixerThreadEnd = [&] {
    cpuEnd = Seconds(CLOCK_THREAD_CPUTIME_ID);
    wallEnd = Seconds(CLOCK_MONOTONIC);
  };

  AudioPipeline pipeline(config, std::move(environment));
  std::atomic<int64_t> callbacks{0};
  pipeline.Start([&](int, std::shared_ptr<const EncodedPacket>) { ++callbacks; });
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000)));
  const int64_t blocks = pipeline.BlocksMixed();
  pipeline.Stop();

  const double cpu = cpuEnd - cpuStart;
  const double wall = wallEnd - wallStart;
  const double percent = wall > 0 ? cpu / wall * 100.0 : 0.0;
  std::printf("audio mixer thread: %.3f %% of one core (%.3f s CPU over %.2f s), %lld blocks x 3 tracks, "
              "%.1f us per block; target < 2 %% -> %s\n",
              percent, cpu, wall, static_cast<long long>(blocks), blocks > 0 ? cpu / static_cast<double>(blocks) * 1e6 : 0.0,
              percent < 2.0 ? "met" : "MISSED");
  return percent < 2.0 && blocks > 0 ? 0 : 1;
}
