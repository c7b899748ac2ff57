#include "export/track_descriptions.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace kp {

namespace {

constexpr uint64_t kMaxMoovSize = 67'108'864;

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint64_t Be64(const uint8_t* p) { return (uint64_t{Be32(p)} << 32) | Be32(p + 4); }

struct Box {
  std::string_view type;
  const uint8_t* payload = nullptr;
  size_t payloadSize = 0;
};

// Children of an in-memory box payload. Stops at a size below 8 or one
// larger than what is left of the parent.
template <typename Visit>
void ForEachChild(const uint8_t* data, size_t size, Visit visit) {
  size_t pos = 0;
  while (size - pos >= 8) {
    uint64_t boxSize = Be32(data + pos);
    size_t header = 8;
    if (boxSize == 1) {
      if (size - pos < 16) return;
      boxSize = Be64(data + pos + 8);
      header = 16;
    } else if (boxSize == 0) {
      boxSize = size - pos;
    }
    if (boxSize < header || boxSize > size - pos) return;
    visit(Box{std::string_view(reinterpret_cast<const char*>(data + pos + 4), 4), data + pos + header,
              static_cast<size_t>(boxSize) - header});
    pos += static_cast<size_t>(boxSize);
  }
}

struct Counts {
  uint32_t timescale = 0;
  uint64_t duration = 0;
  uint64_t bytes = 0;
};

void ReadStsz(const Box& stsz, Counts& counts) {
  // version/flags, fixed size, count, then the sizes when not fixed.
  if (stsz.payloadSize < 12) return;
  const uint32_t fixed = Be32(stsz.payload + 4);
  const uint32_t count = Be32(stsz.payload + 8);
  if (fixed != 0) {
    counts.bytes = uint64_t{fixed} * count;
    return;
  }
  const size_t listed = std::min<size_t>(count, (stsz.payloadSize - 12) / 4);
  uint64_t total = 0;
  for (size_t i = 0; i < listed; ++i) total += Be32(stsz.payload + 12 + i * 4);
  counts.bytes = total;
}

void ReadMdia(const Box& mdia, TrackDescription& track, Counts& counts) {
  ForEachChild(mdia.payload, mdia.payloadSize, [&](const Box& box) {
    if (box.type == "hdlr" && box.payloadSize >= 24) {
      track.sound = std::memcmp(box.payload + 8, "soun", 4) == 0;
      const auto* name = reinterpret_cast<const char*>(box.payload + 24);
      const size_t room = box.payloadSize - 24;
      track.name.assign(name, strnlen(name, room));
    } else if (box.type == "mdhd" && box.payloadSize >= (box.payload[0] == 1 ? 36u : 24u)) {
      // Read when the version's fields are all there (36 bytes for 64-bit
      // times, 24 for 32-bit ones).
      if (box.payload[0] == 1) {
        counts.timescale = Be32(box.payload + 20);
        counts.duration = Be64(box.payload + 24);
      } else {
        counts.timescale = Be32(box.payload + 12);
        counts.duration = Be32(box.payload + 16);
      }
    } else if (box.type == "minf") {
      ForEachChild(box.payload, box.payloadSize, [&](const Box& minfChild) {
        if (minfChild.type != "stbl") return;
        ForEachChild(minfChild.payload, minfChild.payloadSize, [&](const Box& stblChild) {
          if (stblChild.type == "stsz") ReadStsz(stblChild, counts);
        });
      });
    }
  });
}

// tkhd: version and flags, then the track ID after two 32-bit times
// (version 0) or two 64-bit ones (version 1).
uint32_t ReadTrackId(const Box& tkhd) {
  if (tkhd.payloadSize < 4) return 0;
  const size_t at = tkhd.payload[0] == 1 ? 20 : 12;
  return tkhd.payloadSize >= at + 4 ? Be32(tkhd.payload + at) : 0;
}

TrackDescription ReadTrak(const Box& trak) {
  TrackDescription track;
  Counts counts;
  ForEachChild(trak.payload, trak.payloadSize, [&](const Box& box) {
    if (box.type == "mdia") ReadMdia(box, track, counts);
    if (box.type == "tkhd") track.trackId = ReadTrackId(box);
  });
  if (counts.timescale != 0 && counts.duration != 0) {
    track.bitrate = static_cast<double>(counts.bytes) * 8.0 * counts.timescale / static_cast<double>(counts.duration) /
                    1000.0;
  }
  return track;
}

class FileByteSource : public ByteSource {
 public:
  FileByteSource(File& file, uint64_t size) : file_(file), size_(size) {}
  uint64_t Size() const override { return size_; }
  size_t ReadAt(uint64_t offset, void* data, size_t size) override {
    if (!file_.Seek(offset)) return 0;
    size_t total = 0;
    while (total < size) {
      size_t got = 0;
      if (!file_.Read(static_cast<uint8_t*>(data) + total, size - total, &got) || got == 0) break;
      total += got;
    }
    return total;
  }

 private:
  File& file_;
  uint64_t size_;
};

}  // namespace

size_t MemoryByteSource::ReadAt(uint64_t offset, void* data, size_t size) {
  if (offset >= size_) return 0;
  const size_t count = std::min<size_t>(size, size_ - static_cast<size_t>(offset));
  std::memcpy(data, data_ + offset, count);
  return count;
}

std::vector<TrackDescription> ReadTrackDescriptions(ByteSource& source) {
  std::vector<TrackDescription> tracks;
  const uint64_t fileSize = source.Size();
  uint64_t pos = 0;
  while (pos < fileSize) {
    uint8_t header[16] = {};
    const size_t got = source.ReadAt(pos, header, sizeof header);
    if (got < 8) break;
    uint64_t size = Be32(header);
    size_t headerSize = 8;
    if (size == 1) {
      if (got < 16) break;
      size = Be64(header + 8);
      headerSize = 16;
    } else if (size == 0) {
      size = fileSize - pos;
    }
    if (size < headerSize || size > fileSize - pos) break;
    if (std::memcmp(header + 4, "moov", 4) == 0 && size < kMaxMoovSize) {
      std::vector<uint8_t> moov(static_cast<size_t>(size));
      if (source.ReadAt(pos, moov.data(), moov.size()) != moov.size()) break;
      ForEachChild(moov.data() + headerSize, moov.size() - headerSize, [&](const Box& box) {
        if (box.type == "trak") tracks.push_back(ReadTrak(box));
      });
      break;
    }
    pos += size;
  }
  return tracks;
}

std::vector<TrackDescription> ReadTrackDescriptions(Files& files, const std::wstring& path) {
  std::unique_ptr<File> file;
  if (!files.OpenForRead(path, &file)) return {};
  uint64_t size = 0;
  if (!file->Size(&size)) return {};
  FileByteSource source(*file, size);
  return ReadTrackDescriptions(source);
}

}  // namespace kp
