#include "engine/pipeline.h"

#include <algorithm>
#include <memory>

#include "app/log.h"
#include "app/repeat_log.h"
#include "platform/text.h"

namespace kp {

namespace {

constexpr int64_t kBuildRetryTicks = 2 * kTicksPerSecond;
constexpr int64_t kStopPollMs = 100;
constexpr int kFailuresBeforeRebuild = 30;

void TearDown(PipelineState& state, bool keepRecoveries) {
  if (!state.pipeline) return;
  if (keepRecoveries) state.recoveries += state.pipeline->CaptureRecoveries();
  state.pipeline.reset();
}

// Builds a chain as one attempt of `builds`; on failure logs it and sets the
// time of the next attempt.
bool BuildOrScheduleRetry(PipelineState& state, int64_t& retryTime, RepeatLog& builds) {
  LogAttempt attempt(builds);
  if (BuildPipeline(state)) {
    attempt.Succeeded();
    return true;
  }
  Log("pipeline: build failed, retrying in %llds", static_cast<long long>(kBuildRetryTicks / kTicksPerSecond));
  state.pipeline.reset();
  retryTime = state.clock.Now() + kBuildRetryTicks;
  return false;
}

}  // namespace

bool BuildPipeline(PipelineState& state) {
  TearDown(state, /*keepRecoveries=*/true);

  std::unique_ptr<VideoChain> chain = state.chains.CreateChain();
  OutputDescription output;
  if (!chain || !chain->FindOutput(state.config.monitor, &output)) {
    Log("pipeline: no display output found");
    return false;
  }
  Log("pipeline: gpu %s", WideToUtf8(output.adapterDescription).c_str());
  if (!chain->CreateDevice()) return false;

  if (state.outputWidth == 0 || state.outputHeight == 0) {
    const OutputSize wanted =
        ComputeOutputSize(output.right - output.left, output.bottom - output.top, state.config.height);
    if (wanted.width == 0) return false;
    const OutputSize size = LimitOutputSize(wanted);
    if (!(size == wanted)) {
      // Computed once per run, so this is said once per run.
      Log("pipeline: %ux%u is above the encoders' limit — encoding %ux%u", wanted.width, wanted.height,
          size.width, size.height);
    }
    state.outputWidth = size.width;
    state.outputHeight = size.height;
  }
  const OutputSize size{state.outputWidth, state.outputHeight};
  const EncoderConfig encoderConfig = MakeEncoderConfig(state.config, size);

  if (!chain->OpenCapture(state.config)) return false;
  if (!chain->InitializeComposer(size.width, size.height, static_cast<uint32_t>(state.config.fps))) return false;
  if (!chain->CreateEncoder(state.config.encoder, encoderConfig)) return false;

  state.pipeline = std::move(chain);
  return true;
}

void RunPipeline(PipelineState& state, const std::atomic<bool>& stop, int64_t endTime,
                 const VideoPacketSink& sink) {
  Clock& clock = state.clock;
  state.chains.EnterPipelineThread();
  std::unique_ptr<OneShotTimer> timer = clock.CreateOneShotTimer();  // null is tolerated

  const int64_t fps = std::max<int64_t>(1, state.config.fps);
  int64_t start = clock.Now();
  int64_t n = 0;
  int64_t retryTime = 0;
  int64_t builtAt = 0;  // when the current chain was built
  int consecutiveFailures = 0;
  // A build that keeps failing writes its lines once, then counts them.
  RepeatLog builds("pipeline: capture", clock);
  PacketList packets;  // reused from frame to frame

  auto slotTime = [&](int64_t slot) { return start + slot * kTicksPerSecond / fps; };

  while (!stop.load()) {
    if (!state.pipeline) {
      state.capturing = false;
      const int64_t now = clock.Now();
      // Without a chain there are no frame slots to compare with the end
      // time, so the clock itself is: a run with a finite end (the record
      // command) ends on time even when no chain can ever be built. The
      // waits are cut short at the end time for the same reason.
      if (now >= endTime) break;
      if (now < retryTime) {
        // Rounded up without adding first: endTime may be the largest time.
        const int64_t left = endTime - now;
        const int64_t untilEndMs = left / kTicksPerMillisecond + (left % kTicksPerMillisecond != 0 ? 1 : 0);
        clock.SleepMs(std::min(kStopPollMs, untilEndMs));
        continue;
      }
      if (!BuildOrScheduleRetry(state, retryTime, builds)) continue;
      start = builtAt = clock.Now();
      n = 0;
    }

    int64_t target = slotTime(n);
    if (target >= endTime) break;

    int64_t now = clock.Now();
    if (target > now) {
      if (!timer || !timer->Wait(target - now)) clock.SleepMs((target - now) / kTicksPerMillisecond);
      now = clock.Now();
    }
    const int64_t late = (now - target) * fps / kTicksPerSecond;
    if (late >= 1) {
      n += late;
      state.framesSkipped += late;
      target = slotTime(n);
      if (target >= endTime) break;
    }

    const int64_t frameStart = clock.Now();
    const CaptureStatus status = state.pipeline->AcquireFrame();
    if (status == CaptureStatus::DeviceLost || status == CaptureStatus::RebuildRequested) {
      // The loss line belongs to the rebuild's attempt. A monitor that moved
      // to another GPU needs the same rebuild as a lost device (on the adapter
      // that drives it now) but is no failure.
      LogAttempt attempt(builds);
      if (status == CaptureStatus::DeviceLost) {
        Log("pipeline: GPU device lost (driver reset?) — rebuilding, buffer is kept");
        ++state.rebuilds;
      }
      state.capturing = false;
      if (frameStart - builtAt < kBuildRetryTicks) {
        // A chain that loses its device right after being built would be
        // rebuilt at build speed: the next build waits the retry time, and
        // starts a new grid as any build from nothing.
        TearDown(state, /*keepRecoveries=*/true);
        retryTime = clock.Now() + kBuildRetryTicks;
        continue;
      }
      // The clock (start, n) is kept: packets continue on the same grid. A
      // failed rebuild is a failed build like any other.
      if (BuildOrScheduleRetry(state, retryTime, builds)) {
        attempt.Succeeded();
        builtAt = clock.Now();
      }
      continue;
    }
    if (status == CaptureStatus::Suspended) {
      // No image for a long time: the slot is neither encoded nor counted as
      // skipped or failed, so the stretch becomes a cut in the recording
      // and what was recorded before it stays in the buffer.
      state.capturing = false;
      ++n;
      continue;
    }
    // Unchanged and NoFrame frames are encoded too (the last image, or black),
    // so the stream keeps its frame rate while the screen is still or gone.
    state.capturing = status != CaptureStatus::NoFrame;

    packets.clear();
    const bool encoded = state.pipeline->Compose(state.config.showCursor) &&
                         state.pipeline->Encode(target, slotTime(n + 1) - target, packets);
    if (encoded) {
      consecutiveFailures = 0;
      const VideoTrackInfo& track = state.pipeline->TrackInfo();
      for (const std::shared_ptr<const EncodedPacket>& packet : packets) {
        ++state.framesEncoded;
        state.bytesEncoded += static_cast<int64_t>(packet->data.size());
        if (sink) sink(track, packet);
      }
    } else {
      ++state.frameFailures;
      if (++consecutiveFailures >= kFailuresBeforeRebuild) {
        Log("pipeline: %d consecutive frame failures — rebuilding", consecutiveFailures);
        consecutiveFailures = 0;
        ++state.rebuilds;
        // A chain that keeps failing is not trusted for its statistics either.
        TearDown(state, /*keepRecoveries=*/false);
        continue;  // the next iteration builds at once and restarts the grid
      }
    }

    const int64_t work = clock.Now() - frameStart;
    state.workTicksTotal += work;
    if (work > state.workTicksMax) state.workTicksMax = work;
    ++n;
  }

  TearDown(state, /*keepRecoveries=*/true);
  state.capturing = false;
  state.chains.LeavePipelineThread();
  packets.clear();
  timer.reset();
}

}  // namespace kp
