// The header of our MP4 files: `ftyp`, `moov` and the `mdat` box header,
// built in memory from the tracks and their sample entries. Kept apart from
// the file writing so the layout can be tested and timed without any I/O.
//
// Layout contract (readers and our own tests rely on it):
//  - every sample is its own chunk, and chunk offsets are always 64-bit
//    (`co64`), so the size of `moov` does not depend on where `mdat` starts;
//  - tracks without samples get no `trak` and no track ID, but still count in
//    `mvhd`'s next_track_ID;
//  - `trak` order is the video track first, then the audio tracks from the
//    highest index down; track IDs follow the track index regardless.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "media/byte_builder.h"
#include "media/mp4_writer.h"
#include "media/packet.h"

namespace kp {

// One track as the header builder sees it. Exactly one of `video`/`audio` is
// set; the pointed-to objects must outlive the build.
struct Mp4TrackView {
  const VideoTrackInfo* video = nullptr;
  const AudioTrackInfo* audio = nullptr;
  uint32_t timescale = 0;
  std::span<const SampleEntry> samples;
};

// Everything in `moov` that does not depend on where the payload starts,
// computed once so that `moov` can be built twice cheaply.
struct MoovPlan {
  struct Track {
    size_t index = 0;  // position in the track list
    uint32_t trackId = 0;
    uint32_t tkhdFlags = 0;
    std::vector<uint32_t> durations;  // per sample, in units of the timescale
    uint64_t mediaDuration = 0;       // sum of `durations`
    uint64_t startMs = 0;             // first sample relative to the base time
    uint64_t endMs = 0;
    // Audio tracks only (for `esds`).
    uint32_t bufferSizeDB = 0;
    uint32_t maxBitrate = 0;
    uint32_t avgBitrate = 0;
  };
  int64_t baseTime = 0;             // smallest first-sample pts, ticks
  std::vector<Track> tracks;        // tracks with samples, in index order
  uint64_t movieDurationMs = 0;     // largest endMs
  uint32_t nextTrackId = 1;
};

// False when no track has a sample (nothing can be written).
bool PlanMoov(std::span<const Mp4TrackView> tracks, MoovPlan* plan);

void BuildFtyp(ByteBuilder& out);

// Appends `moov` with its chunk offsets left zero, and records in
// `chunkOffsets` (in plan order) where each planned track's first one is in
// `out`: PatchChunkOffsets fills them in.
void BuildMoov(std::span<const Mp4TrackView> tracks, const MoovPlan& plan, ByteBuilder& out,
               std::vector<size_t>& chunkOffsets);

// Writes the chunk offsets of a built moov in place: `payloadStart` plus
// each sample's current mdatOffset, so a header is built once however often
// the payload's start or layout is settled afterwards. `tracks` and `plan`
// are the ones the moov was built from (sample counts unchanged).
void PatchChunkOffsets(std::span<const Mp4TrackView> tracks, const MoovPlan& plan,
                       std::span<const size_t> chunkOffsets, uint64_t payloadStart, ByteBuilder& out);

// 8 bytes while the box size fits 32 bits, else 16 (size 1 + largesize).
uint32_t MdatHeaderSize(uint64_t payloadSize);
void BuildMdatHeader(uint64_t payloadSize, ByteBuilder& out);

// Appends ftyp, moov and the mdat header for a payload of `payloadSize`
// bytes that follows them directly, so the payload starts at out.size() when
// `out` was empty. False (and nothing appended) when no track has a sample.
bool BuildMp4Header(std::span<const Mp4TrackView> tracks, uint64_t payloadSize, ByteBuilder& out);

}  // namespace kp
