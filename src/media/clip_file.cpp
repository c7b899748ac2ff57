#include "media/clip_file.h"

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "app/log.h"
#include "media/mp4_writer.h"

namespace kp {

namespace {

constexpr size_t kReadPiece = 8'388'608;  // 8 MiB

using SpanMap = std::map<uint64_t, SegmentSpan>;

void AddToSpans(SpanMap& spans, const PacketRecord& record) {
  SegmentSpan& span = spans[record.segment->index];
  if (!span.segment) span.segment = record.segment;
  span.first = std::min(span.first, record.offset);
  span.end = std::max(span.end, record.offset + record.size);
}

// Samples play on recorded time: each moves earlier by the cuts before it.
void AddSamples(Mp4Writer& writer, int track, const std::vector<PacketRecord>& records, const CutList& cuts,
                const SpanMap& spans) {
  CutShifter shifter(cuts);
  for (const PacketRecord& record : records) {
    const SegmentSpan& span = spans.at(record.segment->index);
    SampleEntry entry;
    entry.pts = record.pts - shifter.ShiftAt(record.pts);
    entry.duration = record.duration;
    entry.keyframe = record.keyframe;
    entry.size = record.size;
    entry.mdatOffset = span.base + (record.offset - span.first);
    writer.AddSample(track, std::move(entry));
  }
}

bool CopySpan(Files& files, const SegmentSpan& span, uint8_t* buffer, const ByteSink& sink) {
  std::unique_ptr<File> file;
  IoStatus status = files.OpenForRead(span.segment->path, &file);
  if (!status) {
    Log("clip: cannot open buffer segment (error %lu)", static_cast<unsigned long>(status.error));
    return false;
  }
  bool ok = static_cast<bool>(file->Seek(span.first));
  uint64_t remaining = span.end - span.first;
  while (ok && remaining > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kReadPiece));
    size_t got = 0;
    if (!file->Read(buffer, want, &got) || got == 0 || got > want) {
      ok = false;
      break;
    }
    if (!sink(buffer, got)) {
      ok = false;
      break;
    }
    remaining -= got;
  }
  file->Close();
  if (!ok) Log("clip: reading buffer segment failed");
  return ok;
}

}  // namespace

bool WriteClipFile(const ReplayBuffer::Clip& clip, const std::wstring& path,
                   const std::function<void(double)>& progress, Files& files) {
  SpanMap spans;
  for (const PacketRecord& record : clip.videoPackets) AddToSpans(spans, record);
  for (const std::vector<PacketRecord>& list : clip.audioPackets) {
    for (const PacketRecord& record : list) AddToSpans(spans, record);
  }
  uint64_t payloadSize = 0;
  for (auto& [index, span] : spans) {
    span.base = payloadSize;
    payloadSize += span.end - span.first;
  }

  Mp4Writer writer(files);
  const int videoTrack = writer.AddVideoTrack(clip.video);
  AddSamples(writer, videoTrack, clip.videoPackets, clip.cuts, spans);
  for (size_t t = 0; t < clip.audioTracks.size(); ++t) {
    const int audioTrack = writer.AddAudioTrack(clip.audioTracks[t]);
    if (t < clip.audioPackets.size()) AddSamples(writer, audioTrack, clip.audioPackets[t], clip.cuts, spans);
  }
  if (progress) writer.onProgress = progress;

  auto producer = [&spans, &files](const ByteSink& sink) {
    // One read buffer for the whole copy; its contents are always overwritten.
    auto buffer = std::make_unique_for_overwrite<uint8_t[]>(kReadPiece);
    for (const auto& [index, span] : spans) {
      if (!CopySpan(files, span, buffer.get(), sink)) return false;
    }
    return true;
  };
  return writer.Write(path, payloadSize, producer);
}

}  // namespace kp
