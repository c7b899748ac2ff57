// What the export needs to know about its input, decided from the raw values
// the platform's reader reports: picture size, frame rate, colour matrix,
// duration, and the audio tracks with their names and bit rates.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "export/export_media.h"
#include "export/track_descriptions.h"
#include "platform/files.h"

namespace kp {

struct SourceAudioTrack {
  uint32_t streamIndex = 0;
  std::string name;       // UTF-8
  uint32_t bitrate = 0;   // kbit/s: 96, 128, 160 or 192
};

struct InputInfo {
  int64_t duration = 0;  // ticks; 0 when unknown
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fps = 60;     // 1..240
  bool bt709 = true;
  std::vector<SourceAudioTrack> audioTracks;
};

inline constexpr uint32_t kMinFrameSize = 16;

// Frames per second from the stream's rate: rounded to nearest, 0 becomes 1,
// above 240 becomes 240; 60 when either part is 0 (unknown).
uint32_t DecideFps(uint32_t numerator, uint32_t denominator);

// BT.709 when the matrix says so (1), or when it does not say BT.601 (2)
// and the picture is at least 720 lines high.
bool DecideBt709(std::optional<uint32_t> yuvMatrix, uint32_t height);

// The nearest of 96, 128, 160 and 192 kbit/s (ties go to the lower, except
// that 160 stays against 128); 160 when `kbps` is not above 0.
uint32_t SnapAudioBitrate(double kbps);

// Names, bit rates and order of the audio streams. When the reader reports
// an identifier for every audio stream, each takes the sound description
// with that track ID and the tracks are ordered by it (those without one
// last, in stream order): the MP4 writer numbers its tracks in the order they
// are added and enables the first audio one, so an exported clip keeps its
// source's names, track IDs, layout and enabled track whatever order the
// reader numbers its streams in. Otherwise stream i takes description number
// (count - 1 - i) when that is a sound track, in stream order. Unnamed
// tracks become "Audio <position>"; without a bit rate from the boxes the
// stream's average bytes per second is used.
std::vector<SourceAudioTrack> ListSourceAudioTracks(const std::vector<SourceStream>& streams,
                                                    const std::vector<TrackDescription>& descriptions);

// The description turned into InputInfo; empty without a video stream or
// with a frame size that is missing or below 16.
std::optional<InputInfo> DecideInputInfo(const SourceDescription& source,
                                         const std::vector<TrackDescription>& descriptions);

// The whole probe: the reader's description plus the file's track boxes.
std::optional<InputInfo> ProbeInput(ExportMedia& media, Files& files, const std::wstring& input);

}  // namespace kp
