// The capture pipeline loop: builds a video chain, then paces frames on the
// monotonic clock, captures, composes and encodes each one and hands every
// packet to a sink. It survives device loss and failing frames by rebuilding
// the chain while keeping its clock, output size and counters.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/pipeline_state.h"
#include "media/packet.h"

namespace kp {

// Tears down the current chain (adding its capture recoveries to the state)
// and builds a new one. The first build fixes the output size for the whole
// run. On failure the chain is null; the failing step has logged why.
bool BuildPipeline(PipelineState& state);

// Runs on the calling thread until `stop` is set or the next frame slot (or,
// with no chain, the clock) reaches `endTime` (ticks of the state's clock;
// INT64_MAX for no end). Packet time stamps are the frames' scheduled times
// start + k x 10,000,000 / fps, where start restarts whenever a chain is built
// from nothing. `sink` runs on this thread. Slots the loop is late for are
// skipped, never encoded in a burst.
//
// A failed build is retried every 2 s. A device loss rebuilds at once on the
// same grid, unless it comes within 2 s of the chain's build: then the next
// build waits the 2 s too. Each build, with the device-loss line that leads
// to it, is one attempt of the run's repeat log (app/repeat_log.h), so a
// build that keeps failing writes its lines once and then counts them; the
// first successful build after counted lines logs "pipeline: capture
// recovered after %llu failed attempts".
void RunPipeline(PipelineState& state, const std::atomic<bool>& stop, int64_t endTime,
                 const VideoPacketSink& sink);

}  // namespace kp
