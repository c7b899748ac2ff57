// Everything one capture run keeps: its configuration, the output size fixed
// by the first build, the current chain, and the run's statistics.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "engine/pipeline_config.h"
#include "engine/video_chain.h"
#include "platform/clock.h"

namespace kp {

struct PipelineState {
  // `chains` and `clock` must outlive the state; tests pass scripted ones.
  explicit PipelineState(PipelineConfig runConfig,
                         VideoChainFactory& chainFactory = PlatformVideoChainFactory(),
                         Clock& runClock = SystemClock())
      : config(std::move(runConfig)), chains(chainFactory), clock(runClock) {}

  PipelineState(const PipelineState&) = delete;
  PipelineState& operator=(const PipelineState&) = delete;

  PipelineConfig config;
  // 0 until the first build computes them; kept across rebuilds.
  std::atomic<uint32_t> outputWidth{0};
  std::atomic<uint32_t> outputHeight{0};
  // Null between a teardown and the next successful build.
  std::unique_ptr<VideoChain> pipeline;

  // Written by the pipeline thread only; other threads may read them at any
  // time (relaxed reads of single values, no lock).
  std::atomic<int64_t> framesEncoded{0};   // packets produced
  std::atomic<int64_t> framesSkipped{0};   // frame slots dropped because the loop was late
  std::atomic<int64_t> frameFailures{0};   // frames whose compose or encode failed
  std::atomic<int64_t> rebuilds{0};        // after device loss or repeated failures
  std::atomic<int64_t> bytesEncoded{0};    // sum of payload sizes
  std::atomic<int64_t> workTicksTotal{0};  // frame start to end of processing, summed
  std::atomic<int64_t> workTicksMax{0};
  std::atomic<int32_t> recoveries{0};      // capture recoveries of finished chains
  std::atomic<bool> capturing{false};      // the last poll found an image source

  VideoChainFactory& chains;
  Clock& clock;
};

}  // namespace kp
