#include "media/mp4_boxes.h"

#include <algorithm>
#include <limits>

namespace kp {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr uint32_t kMatrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
constexpr char kCompressorName[] = "Kaptora";

bool IsAudio(const Mp4TrackView& track) { return track.video == nullptr; }

// Sample durations by the writer's timing rules: each sample lasts until the
// next one starts, never less than one unit (equal or inverted times still
// advance the clock so later samples keep their positions); the last sample
// lasts its packet duration, or as long as the one before it when the
// packet says less than one unit.
void PlanTiming(const Mp4TrackView& view, int64_t base, MoovPlan::Track& track) {
  const auto& samples = view.samples;
  const uint32_t timescale = view.timescale;
  const size_t count = samples.size();
  track.durations.resize(count);

  const int64_t first = ToTimescale(samples[0].pts - base, timescale);
  int64_t prev = first;
  for (size_t i = 1; i < count; ++i) {
    const int64_t t = ToTimescale(samples[i].pts - base, timescale);
    const int64_t d = t - prev;
    track.durations[i - 1] = static_cast<uint32_t>(d < 1 ? 1 : d);
    prev = std::max(t, prev + 1);
  }
  const int64_t lastDuration = ToTimescale(samples[count - 1].duration, timescale);
  if (lastDuration >= 1) {
    track.durations[count - 1] = static_cast<uint32_t>(lastDuration);
  } else {
    track.durations[count - 1] = count > 1 ? track.durations[count - 2] : 1;
  }

  uint64_t sum = 0;
  for (uint32_t d : track.durations) sum += d;
  track.mediaDuration = sum;
  // A zero timescale (a malformed sample rate) must not divide by zero; such
  // a track is written with zero times instead.
  const uint64_t divisor = std::max<uint32_t>(timescale, 1);
  track.startMs = static_cast<uint64_t>(first) * 1000 / divisor;
  track.endMs = track.startMs + track.mediaDuration * 1000 / divisor;
}

// Bit rates for `esds`. The peak is the largest number of bytes whose pts
// fall in any one-second window that starts at a sample; pts ascend within a
// track, so the window end only moves forward (linear, not quadratic).
void PlanAudioRates(const Mp4TrackView& view, MoovPlan::Track& track) {
  const auto& samples = view.samples;
  const size_t count = samples.size();
  uint64_t total = 0;
  uint32_t largest = 0;
  for (const SampleEntry& s : samples) {
    total += s.size;
    largest = std::max(largest, s.size);
  }
  track.bufferSizeDB = largest;
  const uint64_t duration = std::max<uint64_t>(track.mediaDuration, 1);
  track.avgBitrate = static_cast<uint32_t>(uint64_t{view.timescale} * total * 8 / duration);

  uint64_t window = 0;
  uint64_t maxWindow = 0;
  size_t end = 0;  // one past the last sample of the window starting at i
  for (size_t i = 0; i < count; ++i) {
    const int64_t limit = samples[i].pts + kTicksPerSecond;
    while (end < count && samples[end].pts < limit) {
      window += samples[end].size;
      ++end;
    }
    maxWindow = std::max(maxWindow, window);
    window -= samples[i].size;  // sample i is always inside its own window
  }
  track.maxBitrate = static_cast<uint32_t>(std::max<uint64_t>(8 * maxWindow, track.avgBitrate));
}

void WriteMatrix(ByteBuilder& out) {
  for (uint32_t v : kMatrix) out.U32(v);
}

// MPEG-4 descriptor header; lengths always use the four-byte form.
void WriteDescriptorHeader(ByteBuilder& out, uint8_t tag, uint32_t length) {
  out.U8(tag);
  out.U8(0x80 | (length >> 21));
  out.U8(0x80 | ((length >> 14) & 0x7F));
  out.U8(0x80 | ((length >> 7) & 0x7F));
  out.U8(length & 0x7F);
}

uint8_t SpsByte(const VideoTrackInfo& info, size_t index) {
  return index < info.sps.size() ? info.sps[index] : 0;
}

void WriteAvc1(const VideoTrackInfo& info, ByteBuilder& out) {
  size_t avc1 = out.BeginBox("avc1");
  out.Zeros(6);
  out.U16(1);  // data reference index
  out.Zeros(16);
  out.U16(info.width);
  out.U16(info.height);
  out.U32(0x00480000);  // 72 dpi
  out.U32(0x00480000);
  out.U32(0);
  out.U16(1);  // frame count
  uint8_t* name = out.Extend(32);
  std::fill(name, name + 32, uint8_t{0});
  name[0] = static_cast<uint8_t>(sizeof(kCompressorName) - 1);
  std::copy(kCompressorName, kCompressorName + sizeof(kCompressorName) - 1, name + 1);
  out.U16(0x0018);  // depth
  out.U16(0xFFFF);  // pre-defined

  size_t avcC = out.BeginBox("avcC");
  const uint8_t profile = SpsByte(info, 1);
  out.U8(1);
  out.U8(profile);
  out.U8(SpsByte(info, 2));
  out.U8(SpsByte(info, 3));
  out.U8(0xFF);  // 4-byte NAL lengths
  out.U8(0xE1);  // one SPS
  out.U16(static_cast<uint32_t>(info.sps.size()));
  out.Append(info.sps.data(), info.sps.size());
  out.U8(1);  // one PPS
  out.U16(static_cast<uint32_t>(info.pps.size()));
  out.Append(info.pps.data(), info.pps.size());
  if (profile == 100 || profile == 110 || profile == 122 || profile == 144) {
    out.U8(0xFD);  // 4:2:0
    out.U8(0xF8);  // luma depth 8
    out.U8(0xF8);  // chroma depth 8
    out.U8(0x00);  // no SPS extensions
  }
  out.EndBox(avcC);

  size_t colr = out.BeginBox("colr");
  out.FourCC("nclx");
  out.U16(1);  // BT.709 primaries
  out.U16(1);  // BT.709 transfer
  out.U16(1);  // BT.709 matrix
  out.U8(0);   // limited range
  out.EndBox(colr);
  out.EndBox(avc1);
}

void WriteMp4a(const AudioTrackInfo& info, const MoovPlan::Track& plan, ByteBuilder& out) {
  size_t mp4a = out.BeginBox("mp4a");
  out.Zeros(6);
  out.U16(1);  // data reference index
  out.Zeros(8);
  out.U16(info.channels);
  out.U16(16);  // sample size
  out.U16(0);
  out.U16(0);
  out.U32((info.sampleRate & 0xFFFF) << 16);

  const uint32_t ascSize = static_cast<uint32_t>(info.audioSpecificConfig.size());
  const uint32_t decoderSpecificLength = ascSize;
  const uint32_t decoderConfigLength = 13 + 5 + decoderSpecificLength;
  const uint32_t slConfigLength = 1;
  const uint32_t esLength = 3 + 5 + decoderConfigLength + 5 + slConfigLength;

  size_t esds = out.BeginFullBox("esds", 0, 0);
  WriteDescriptorHeader(out, 0x03, esLength);
  out.U16(plan.trackId);  // ES ID
  out.U8(0);
  WriteDescriptorHeader(out, 0x04, decoderConfigLength);
  out.U8(0x40);  // MPEG-4 audio
  out.U8(0x15);  // audio stream
  out.U24(std::min<uint32_t>(plan.bufferSizeDB, 0xFFFFFF));
  out.U32(plan.maxBitrate);
  out.U32(plan.avgBitrate);
  WriteDescriptorHeader(out, 0x05, decoderSpecificLength);
  out.Append(info.audioSpecificConfig.data(), ascSize);
  WriteDescriptorHeader(out, 0x06, slConfigLength);
  out.U8(0x02);
  out.EndBox(esds);
  out.EndBox(mp4a);
}

// Returns the position in `out` of the first chunk offset, which is left
// zero for PatchChunkOffsets.
size_t WriteSampleTable(const Mp4TrackView& view, const MoovPlan::Track& plan, ByteBuilder& out) {
  const auto& samples = view.samples;
  const size_t count = samples.size();
  size_t stbl = out.BeginBox("stbl");

  size_t stsd = out.BeginFullBox("stsd", 0, 0);
  out.U32(1);
  if (view.video != nullptr) {
    WriteAvc1(*view.video, out);
  } else {
    WriteMp4a(*view.audio, plan, out);
  }
  out.EndBox(stsd);

  // stts: runs of equal durations.
  size_t stts = out.BeginFullBox("stts", 0, 0);
  size_t entryCountAt = out.size();
  out.U32(0);
  uint32_t entries = 0;
  for (size_t i = 0; i < count;) {
    size_t j = i + 1;
    while (j < count && plan.durations[j] == plan.durations[i]) ++j;
    out.U32(static_cast<uint32_t>(j - i));
    out.U32(plan.durations[i]);
    ++entries;
    i = j;
  }
  ByteBuilder::Store32(out.bytes().data() + entryCountAt, entries);
  out.EndBox(stts);

  if (view.video != nullptr) {
    size_t stss = out.BeginFullBox("stss", 0, 0);
    entryCountAt = out.size();
    out.U32(0);
    uint32_t keyframes = 0;
    for (size_t i = 0; i < count; ++i) {
      if (!samples[i].keyframe) continue;
      out.U32(static_cast<uint32_t>(i + 1));
      ++keyframes;
    }
    ByteBuilder::Store32(out.bytes().data() + entryCountAt, keyframes);
    out.EndBox(stss);
  }

  size_t stsc = out.BeginFullBox("stsc", 0, 0);
  out.U32(1);
  out.U32(1);  // first chunk
  out.U32(1);  // samples per chunk
  out.U32(1);  // sample description index
  out.EndBox(stsc);

  size_t stsz = out.BeginFullBox("stsz", 0, 0);
  out.U32(0);
  out.U32(static_cast<uint32_t>(count));
  uint8_t* sizes = out.Extend(4 * count);
  for (size_t i = 0; i < count; ++i) ByteBuilder::Store32(sizes + 4 * i, samples[i].size);
  out.EndBox(stsz);

  size_t co64 = out.BeginFullBox("co64", 0, 0);
  out.U32(static_cast<uint32_t>(count));
  const size_t offsetsAt = out.size();
  out.Extend(8 * count);
  out.EndBox(co64);

  out.EndBox(stbl);
  return offsetsAt;
}

size_t WriteTrak(const Mp4TrackView& view, const MoovPlan::Track& plan, ByteBuilder& out) {
  const bool audio = IsAudio(view);
  size_t trak = out.BeginBox("trak");

  size_t tkhd = out.BeginFullBox("tkhd", 0, plan.tkhdFlags);
  out.U32(0);
  out.U32(0);
  out.U32(plan.trackId);
  out.U32(0);
  out.U32(static_cast<uint32_t>(plan.endMs));
  out.Zeros(8);
  out.U16(0);                     // layer
  out.U16(audio ? 1 : 0);         // alternate group
  out.U16(audio ? 0x0100 : 0);    // volume
  out.U16(0);
  WriteMatrix(out);
  out.U32(audio ? 0 : view.video->width << 16);
  out.U32(audio ? 0 : view.video->height << 16);
  out.EndBox(tkhd);

  if (plan.startMs != 0) {
    size_t edts = out.BeginBox("edts");
    size_t elst = out.BeginFullBox("elst", 0, 0);
    out.U32(2);
    out.U32(static_cast<uint32_t>(plan.startMs));  // empty edit up to the first sample
    out.U32(0xFFFFFFFF);
    out.U16(1);
    out.U16(0);
    out.U32(static_cast<uint32_t>(plan.endMs - plan.startMs));
    out.U32(0);
    out.U32(0x00010000);
    out.EndBox(elst);
    out.EndBox(edts);
  }

  size_t mdia = out.BeginBox("mdia");
  size_t mdhd = out.BeginFullBox("mdhd", 0, 0);
  out.U32(0);
  out.U32(0);
  out.U32(view.timescale);
  out.U32(static_cast<uint32_t>(plan.mediaDuration));
  out.U16(0x55C4);  // "und"
  out.U16(0);
  out.EndBox(mdhd);

  size_t hdlr = out.BeginFullBox("hdlr", 0, 0);
  out.U32(0);
  out.FourCC(audio ? "soun" : "vide");
  out.Zeros(12);
  if (audio) {
    out.Append(view.audio->name.data(), view.audio->name.size());
  } else {
    out.Append("Video", 5);
  }
  out.U8(0);
  out.EndBox(hdlr);

  size_t minf = out.BeginBox("minf");
  if (audio) {
    size_t smhd = out.BeginFullBox("smhd", 0, 0);
    out.Zeros(4);
    out.EndBox(smhd);
  } else {
    size_t vmhd = out.BeginFullBox("vmhd", 0, 1);
    out.Zeros(8);
    out.EndBox(vmhd);
  }
  size_t dinf = out.BeginBox("dinf");
  size_t dref = out.BeginFullBox("dref", 0, 0);
  out.U32(1);
  size_t url = out.BeginFullBox("url ", 0, 1);  // flag 1: media in this file
  out.EndBox(url);
  out.EndBox(dref);
  out.EndBox(dinf);
  const size_t offsetsAt = WriteSampleTable(view, plan, out);
  out.EndBox(minf);
  out.EndBox(mdia);
  out.EndBox(trak);
  return offsetsAt;
}

}  // namespace

bool PlanMoov(std::span<const Mp4TrackView> tracks, MoovPlan* plan) {
  plan->tracks.clear();
  plan->movieDurationMs = 0;
  plan->nextTrackId = static_cast<uint32_t>(tracks.size() + 1);

  bool any = false;
  int64_t base = std::numeric_limits<int64_t>::max();
  for (const Mp4TrackView& track : tracks) {
    if (track.samples.empty()) continue;
    any = true;
    base = std::min(base, track.samples.front().pts);
  }
  if (!any) return false;
  plan->baseTime = base;

  uint32_t nextId = 1;
  bool firstAudioSeen = false;
  for (size_t i = 0; i < tracks.size(); ++i) {
    const Mp4TrackView& view = tracks[i];
    if (view.samples.empty()) continue;
    MoovPlan::Track& track = plan->tracks.emplace_back();
    track.index = i;
    track.trackId = nextId++;
    if (IsAudio(view)) {
      track.tkhdFlags = firstAudioSeen ? 2 : 3;
      firstAudioSeen = true;
    } else {
      track.tkhdFlags = 3;
    }
    PlanTiming(view, base, track);
    if (IsAudio(view)) PlanAudioRates(view, track);
    plan->movieDurationMs = std::max(plan->movieDurationMs, track.endMs);
  }

  // The first audio track must advertise the highest average rate of all
  // audio tracks, strictly: players that pick "the best" audio track by
  // bit rate then pick the one we mark as default.
  MoovPlan::Track* firstAudio = nullptr;
  uint32_t othersMax = 0;
  for (MoovPlan::Track& track : plan->tracks) {
    if (!IsAudio(tracks[track.index])) continue;
    if (firstAudio == nullptr) {
      firstAudio = &track;
    } else {
      othersMax = std::max(othersMax, track.avgBitrate);
    }
  }
  if (firstAudio != nullptr && firstAudio->avgBitrate <= othersMax) {
    firstAudio->avgBitrate = othersMax + 1;
    firstAudio->maxBitrate = std::max(firstAudio->maxBitrate, othersMax + 1);
  }
  return true;
}

void BuildFtyp(ByteBuilder& out) {
  size_t ftyp = out.BeginBox("ftyp");
  out.FourCC("isom");
  out.U32(0x00000200);
  out.FourCC("isom");
  out.FourCC("iso2");
  out.FourCC("avc1");
  out.FourCC("mp41");
  out.EndBox(ftyp);
}

void BuildMoov(std::span<const Mp4TrackView> tracks, const MoovPlan& plan, ByteBuilder& out,
               std::vector<size_t>& chunkOffsets) {
  size_t estimate = 1024;
  for (const MoovPlan::Track& track : plan.tracks) {
    // stsz + co64 + a worst-case stts and stss, plus the fixed boxes.
    estimate += 1024 + tracks[track.index].samples.size() * 24;
  }
  out.Reserve(out.size() + estimate);

  size_t moov = out.BeginBox("moov");
  size_t mvhd = out.BeginFullBox("mvhd", 0, 0);
  out.U32(0);
  out.U32(0);
  out.U32(1000);
  out.U32(static_cast<uint32_t>(plan.movieDurationMs));
  out.U32(0x00010000);  // rate 1.0
  out.U16(0x0100);      // volume 1.0
  out.Zeros(10);
  WriteMatrix(out);
  out.Zeros(24);
  out.U32(plan.nextTrackId);
  out.EndBox(mvhd);

  chunkOffsets.assign(plan.tracks.size(), 0);
  for (size_t p = 0; p < plan.tracks.size(); ++p) {
    const MoovPlan::Track& track = plan.tracks[p];
    if (!IsAudio(tracks[track.index])) chunkOffsets[p] = WriteTrak(tracks[track.index], track, out);
  }
  for (size_t p = plan.tracks.size(); p-- > 0;) {
    const MoovPlan::Track& track = plan.tracks[p];
    if (IsAudio(tracks[track.index])) chunkOffsets[p] = WriteTrak(tracks[track.index], track, out);
  }
  out.EndBox(moov);
}

void PatchChunkOffsets(std::span<const Mp4TrackView> tracks, const MoovPlan& plan,
                       std::span<const size_t> chunkOffsets, uint64_t payloadStart, ByteBuilder& out) {
  for (size_t p = 0; p < plan.tracks.size() && p < chunkOffsets.size(); ++p) {
    const std::span<const SampleEntry> samples = tracks[plan.tracks[p].index].samples;
    uint8_t* at = out.bytes().data() + chunkOffsets[p];
    for (size_t i = 0; i < samples.size(); ++i) ByteBuilder::Store64(at + 8 * i, payloadStart + samples[i].mdatOffset);
  }
}

uint32_t MdatHeaderSize(uint64_t payloadSize) { return payloadSize + 8 <= 0xFFFFFFFFull ? 8 : 16; }

void BuildMdatHeader(uint64_t payloadSize, ByteBuilder& out) {
  if (MdatHeaderSize(payloadSize) == 8) {
    out.U32(static_cast<uint32_t>(payloadSize + 8));
    out.FourCC("mdat");
  } else {
    out.U32(1);
    out.FourCC("mdat");
    out.U64(payloadSize + 16);
  }
}

bool BuildMp4Header(std::span<const Mp4TrackView> tracks, uint64_t payloadSize, ByteBuilder& out) {
  MoovPlan plan;
  if (!PlanMoov(tracks, &plan)) return false;

  // With 64-bit chunk offsets moov's size does not depend on where the
  // payload starts, so the offsets are filled in once it is known.
  const size_t headerStart = out.size();
  BuildFtyp(out);
  std::vector<size_t> chunkOffsets;
  BuildMoov(tracks, plan, out, chunkOffsets);
  const uint64_t payloadStart = out.size() - headerStart + MdatHeaderSize(payloadSize);
  PatchChunkOffsets(tracks, plan, chunkOffsets, payloadStart, out);
  BuildMdatHeader(payloadSize, out);
  return true;
}

}  // namespace kp
