// Writing the export's MP4: the spilled video and the re-encoded audio
// tracks laid out in one interleaved payload and streamed through the MP4
// writer, reading each video packet's bytes back from its own place in the
// scratch file.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "export/export_audio.h"
#include "export/video_spill.h"
#include "media/packet.h"
#include "platform/files.h"

namespace kp {

struct InterleaveEntry {
  int64_t pts = 0;
  uint32_t track = 0;  // 0 video, 1.. the audio tracks in output order
  size_t index = 0;    // within its track
};

// Every packet ordered by pts, ties by track (video first), stable.
std::vector<InterleaveEntry> Interleave(const std::vector<SpilledVideoPacket>& video,
                                        const std::vector<ExportedAudioTrack>& audio);

// Writes `output`. `progress` (may be empty) gets 0.92 + 0.08 x the writer's
// fraction. The payload producer stops (and the write fails, leaving no
// output) when `cancel` is set before a sample. `*payloadBytes` gets the
// media payload size.
bool WriteExportFile(Files& files, const std::wstring& output, const VideoTrackInfo& videoInfo, VideoSpill& video,
                     const std::vector<ExportedAudioTrack>& audio, const std::atomic<bool>& cancel,
                     const std::function<void(double)>& progress, uint64_t* payloadBytes);

}  // namespace kp
