// Decisions over what a platform source reader answers, kept apart from the
// calls so they hold the same on every reader: how far stream discovery
// goes, and what one read pass means for the export loops.
#pragma once

#include <cstdint>
#include <functional>

#include "export/export_media.h"

namespace kp {

// Stream indexes probed: 0 up to but excluding this.
inline constexpr uint32_t kMaxSourceStreams = 64;

enum class StreamAnswer {
  Found,       // the stream exists; the callback recorded it
  Unreadable,  // the stream exists but its type could not be read: skipped
  NoStream,    // no stream with this index: discovery ends
};

// Asks `probe` for indexes 0, 1, ... until it answers NoStream or the limit
// is reached. Returns the number of indexes asked.
uint32_t DiscoverStreams(const std::function<StreamAnswer(uint32_t)>& probe);

// One read pass as the reader reported it.
struct ReaderPass {
  bool callFailed = false;  // the read call itself failed
  bool errorFlag = false;   // the reader flagged a stream error
  bool endOfStream = false;
  bool hasSample = false;
};

// Failure wins over everything, the end of the stream over a sample that may
// come with it (the last pass carries none worth keeping), and a pass with
// neither is an empty one the loops simply repeat.
ReadStatus ClassifyReaderPass(const ReaderPass& pass);

}  // namespace kp
