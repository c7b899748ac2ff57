#include "media/clip_file.h"

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "app/log.h"
#include "media/clip_layout.h"
#include "media/mp4_writer.h"
#include "platform/path.h"

namespace kp {

namespace {

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

bool PutZeros(PayloadSink& sink, uint64_t count) {
  static constexpr uint8_t kZeros[4096] = {};
  for (; count > 0; count -= std::min<uint64_t>(count, sizeof kZeros)) {
    if (!sink.Put(kZeros, static_cast<size_t>(std::min<uint64_t>(count, sizeof kZeros)))) return false;
  }
  return true;
}

// The padding before the span, then its stretch: whole blocks cloned where
// the layout has them, the rest copied by the file layer.
bool CopySpan(Files& files, const SegmentSpan& span, const SpanPlacement& place, uint64_t blockSize,
              PayloadSink& sink) {
  std::unique_ptr<File> file;
  IoStatus status = files.OpenForRead(span.segment->path, &file);
  if (!status) {
    Log("clip: cannot open buffer segment (error %lu)", static_cast<unsigned long>(status.error));
    return false;
  }
  const uint64_t copyAt = place.copyFrom + place.cloneBytes;
  const bool ok = PutZeros(sink, place.padding) &&
                  (place.cloneBytes == 0 || sink.PutBlocks(*file, place.copyFrom, place.cloneBytes, blockSize)) &&
                  sink.PutRange(*file, copyAt, place.copyEnd - copyAt);
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
  std::vector<SpanSource> sources;
  for (const auto& [index, span] : spans) sources.push_back({span.first, span.end, 0});
  ClipLayout layout = PackSpans(sources);
  size_t s = 0;
  for (auto& [index, span] : spans) span.base = layout.spans[s++].base;

  Mp4Writer writer(files);
  const int videoTrack = writer.AddVideoTrack(clip.video);
  AddSamples(writer, videoTrack, clip.videoPackets, clip.cuts, spans);
  for (size_t t = 0; t < clip.audioTracks.size(); ++t) {
    const int audioTrack = writer.AddAudioTrack(clip.audioTracks[t]);
    if (t < clip.audioPackets.size()) AddSamples(writer, audioTrack, clip.audioPackets[t], clip.cuts, spans);
  }
  if (progress) writer.onProgress = progress;

  // Where the clip's file system shares blocks with the segments', the spans
  // move to block-aligned places and the samples with them.
  const BlockCloning cloning =
      spans.empty() ? BlockCloning{} : files.ProbeBlockCloning(spans.begin()->second.segment->path, ParentFolder(path));
  if (cloning.supported && cloning.blockSize > 0) {
    s = 0;
    for (const auto& [index, span] : spans) sources[s++].sourceSize = files.Stat(span.segment->path).size;
    ClipLayout placed = PlanBlockAlignedLayout(sources, cloning.blockSize, writer.HeaderSizeBeforeMdat());
    writer.MoveSamples([&](uint64_t offset) { return MovePackedOffset(layout, placed, offset); });
    layout = std::move(placed);
    writer.preallocate = false;  // shared blocks need no space of their own
  }

  auto producer = [&spans, &layout, &files](PayloadSink& sink) {
    size_t i = 0;
    for (const auto& [index, span] : spans) {
      if (!CopySpan(files, span, layout.spans[i++], layout.blockSize, sink)) return false;
    }
    return PutZeros(sink, layout.trailingPadding);
  };
  return writer.WriteRanges(path, layout.payloadSize, producer);
}

}  // namespace kp
