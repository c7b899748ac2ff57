#include "export/video_spill.h"

#include <algorithm>

namespace kp {

IoStatus VideoSpill::Open(const std::wstring& path) { return files_.CreateScratch(path, &file_); }

bool VideoSpill::WriteBuffer() {
  if (buffer_.empty()) return true;
  if (!file_ || !file_->Write(buffer_.data(), buffer_.size())) return false;
  buffer_.clear();
  return true;
}

bool VideoSpill::Add(const EncodedPacket& packet) {
  packets_.push_back({packet.pts, packet.duration, packet.keyframe, static_cast<uint32_t>(packet.data.size()),
                      nextOffset_});
  nextOffset_ += packet.data.size();
  buffer_.insert(buffer_.end(), packet.data.begin(), packet.data.end());
  if (buffer_.size() >= bufferBytes_) return WriteBuffer();
  return true;
}

bool VideoSpill::Finish() {
  readPosition_ = 0;
  return WriteBuffer() && file_->Seek(0);
}

bool VideoSpill::Read(const SpilledVideoPacket& packet, std::vector<uint8_t>& buffer) {
  if (packet.offset != readPosition_) {
    if (!file_->Seek(packet.offset)) return false;
    readPosition_ = packet.offset;
  }
  const uint32_t size = packet.size;
  buffer.resize(size);
  size_t total = 0;
  while (total < size) {
    size_t got = 0;
    if (!file_->Read(buffer.data() + total, size - total, &got) || got == 0) return false;
    total += got;
  }
  readPosition_ += size;
  return true;
}

void VideoSpill::FixDurations() {
  for (size_t i = 0; i + 1 < packets_.size(); ++i) {
    packets_[i].duration = std::max<int64_t>(packets_[i + 1].pts - packets_[i].pts, 1);
  }
}

}  // namespace kp
