#include "support/mp4_box_reader.h"

#include <cstring>

namespace kp::test {
namespace {

// Containers whose content is only child boxes, and the bytes to skip
// before the children of those that carry fields first.
bool ChildOffset(std::string_view type, uint32_t* skip) {
  static const std::pair<std::string_view, uint32_t> kContainers[] = {
      {"moov", 0}, {"trak", 0}, {"edts", 0}, {"mdia", 0}, {"minf", 0}, {"dinf", 0},
      {"stbl", 0}, {"dref", 8}, {"stsd", 8}, {"avc1", 78}, {"mp4a", 28},
  };
  for (const auto& [name, bytes] : kContainers) {
    if (name == type) {
      *skip = bytes;
      return true;
    }
  }
  return false;
}

bool ParseBoxes(const std::string& bytes, uint64_t begin, uint64_t end, bool topLevel, bool headerOnly,
                std::vector<Mp4Box>* out, std::string* error) {
  uint64_t pos = begin;
  while (pos < end) {
    if (end - pos < 8) {
      *error = "truncated box header at " + std::to_string(pos);
      return false;
    }
    BeReader r(reinterpret_cast<const uint8_t*>(bytes.data()) + pos, end - pos);
    Mp4Box box;
    box.offset = pos;
    uint64_t size = r.U32();
    box.type = r.Str(4);
    box.headerSize = 8;
    if (size == 1) {
      if (end - pos < 16) {
        *error = "truncated largesize at " + std::to_string(pos);
        return false;
      }
      size = r.U64();
      box.headerSize = 16;
    } else if (size == 0) {
      *error = "box of size 0 (to end of file) is not written by us, at " + std::to_string(pos);
      return false;
    }
    box.size = size;
    if (size < box.headerSize) {
      *error = "box '" + box.type + "' smaller than its header";
      return false;
    }
    const bool beyond = size > end - pos;
    if (beyond && !(topLevel && headerOnly && box.type == "mdat")) {
      *error = "box '" + box.type + "' at " + std::to_string(pos) + " runs past its parent";
      return false;
    }
    uint32_t skip = 0;
    if (!beyond && ChildOffset(box.type, &skip)) {
      if (skip > box.payloadSize()) {
        *error = "box '" + box.type + "' too small for its fields";
        return false;
      }
      box.skipped = skip;
      if (!ParseBoxes(bytes, box.payloadOffset() + skip, pos + size, false, headerOnly, &box.children, error)) {
        return false;
      }
    }
    out->push_back(std::move(box));
    if (beyond) return true;  // the header-only mdat is last by definition
    pos += size;
  }
  return true;
}

bool Fail(std::string* error, std::string text) {
  *error = std::move(text);
  return false;
}

}  // namespace

bool BeReader::Take(size_t count) {
  if (!ok_ || size_ - pos_ < count) {
    ok_ = false;
    pos_ = size_;
    return false;
  }
  return true;
}

uint8_t BeReader::U8() {
  if (!Take(1)) return 0;
  return data_[pos_++];
}

uint16_t BeReader::U16() {
  uint16_t hi = U8();
  return static_cast<uint16_t>((hi << 8) | U8());
}

uint32_t BeReader::U24() {
  uint32_t hi = U8();
  uint32_t mid = U8();
  return (hi << 16) | (mid << 8) | U8();
}

uint32_t BeReader::U32() {
  uint32_t hi = U16();
  return (hi << 16) | U16();
}

uint64_t BeReader::U64() {
  uint64_t hi = U32();
  return (hi << 32) | U32();
}

std::string BeReader::Str(size_t count) {
  if (!Take(count)) return std::string();
  std::string s(reinterpret_cast<const char*>(data_ + pos_), count);
  pos_ += count;
  return s;
}

void BeReader::Skip(size_t count) {
  if (Take(count)) pos_ += count;
}

const Mp4Box* Mp4Box::Child(std::string_view childType, int nth) const {
  for (const Mp4Box& child : children) {
    if (child.type == childType && nth-- == 0) return &child;
  }
  return nullptr;
}

std::vector<const Mp4Box*> Mp4Box::Children(std::string_view childType) const {
  std::vector<const Mp4Box*> found;
  for (const Mp4Box& child : children) {
    if (child.type == childType) found.push_back(&child);
  }
  return found;
}

const Mp4Box* Mp4Box::Find(std::string_view path) const {
  const Mp4Box* box = this;
  while (!path.empty() && box != nullptr) {
    size_t slash = path.find('/');
    box = box->Child(path.substr(0, slash));
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  return box;
}

std::vector<std::string> Mp4Box::ChildTypes() const {
  std::vector<std::string> types;
  for (const Mp4Box& child : children) types.push_back(child.type);
  return types;
}

bool Mp4File::Parse(std::string bytes, std::string* error, bool headerOnly) {
  bytes_ = std::move(bytes);
  boxes_.clear();
  return ParseBoxes(bytes_, 0, bytes_.size(), true, headerOnly, &boxes_, error);
}

std::vector<std::string> Mp4File::TopLevelTypes() const {
  std::vector<std::string> types;
  for (const Mp4Box& box : boxes_) types.push_back(box.type);
  return types;
}

const Mp4Box* Mp4File::Find(std::string_view path) const {
  size_t slash = path.find('/');
  std::string_view first = path.substr(0, slash);
  for (const Mp4Box& box : boxes_) {
    if (box.type != first) continue;
    return slash == std::string_view::npos ? &box : box.Find(path.substr(slash + 1));
  }
  return nullptr;
}

std::vector<const Mp4Box*> Mp4File::Traks() const {
  const Mp4Box* moov = Find("moov");
  return moov == nullptr ? std::vector<const Mp4Box*>() : moov->Children("trak");
}

BeReader Mp4File::Content(const Mp4Box& box) const {
  uint64_t end = std::min<uint64_t>(box.offset + box.size, bytes_.size());
  return BeReader(reinterpret_cast<const uint8_t*>(bytes_.data()) + box.payloadOffset(),
                  end - box.payloadOffset());
}

std::string Mp4File::Raw(const Mp4Box& box) const { return bytes_.substr(box.offset, box.size); }

std::vector<uint32_t> Mp4Track::Durations() const {
  std::vector<uint32_t> durations;
  for (const auto& [count, delta] : stts) durations.insert(durations.end(), count, delta);
  return durations;
}

bool ReadTrack(const Mp4File& file, const Mp4Box& trak, Mp4Track* out, std::string* error) {
  *out = Mp4Track();
  const Mp4Box* tkhd = trak.Child("tkhd");
  const Mp4Box* mdhd = trak.Find("mdia/mdhd");
  const Mp4Box* hdlr = trak.Find("mdia/hdlr");
  const Mp4Box* stbl = trak.Find("mdia/minf/stbl");
  if (!tkhd || !mdhd || !hdlr || !stbl) return Fail(error, "trak lacks tkhd, mdhd, hdlr or stbl");

  BeReader r = file.Content(*tkhd);
  out->tkhdFlags = r.U32() & 0xFFFFFF;
  r.Skip(8);
  out->trackId = r.U32();
  r.Skip(4);
  out->tkhdDuration = r.U32();
  r.Skip(8 + 2);
  out->alternateGroup = r.U16();
  out->volume = r.U16();
  r.Skip(2 + 36);
  out->widthFixed = r.U32();
  out->heightFixed = r.U32();
  if (!r.ok() || r.remaining() != 0) return Fail(error, "tkhd has the wrong size");

  if (const Mp4Box* elst = trak.Find("edts/elst")) {
    out->hasEdts = true;
    BeReader e = file.Content(*elst);
    e.Skip(4);
    uint32_t count = e.U32();
    for (uint32_t i = 0; i < count && e.ok(); ++i) {
      ElstEntry entry;
      entry.segmentDuration = e.U32();
      entry.mediaTime = e.U32();
      entry.mediaRate = e.U32();
      out->elst.push_back(entry);
    }
    if (!e.ok() || e.remaining() != 0) return Fail(error, "elst has the wrong size");
  } else if (trak.Child("edts") != nullptr) {
    return Fail(error, "edts without elst");
  }

  r = file.Content(*mdhd);
  r.Skip(4 + 8);
  out->timescale = r.U32();
  out->mediaDuration = r.U32();
  out->language = r.U16();
  r.Skip(2);
  if (!r.ok() || r.remaining() != 0) return Fail(error, "mdhd has the wrong size");

  r = file.Content(*hdlr);
  r.Skip(4 + 4);
  out->handlerType = r.Str(4);
  r.Skip(12);
  out->handlerNameBytes = static_cast<uint32_t>(r.remaining());
  std::string name = r.Str(r.remaining());
  size_t zero = name.find('\0');
  if (!r.ok() || zero == std::string::npos) return Fail(error, "hdlr name is not zero-terminated");
  out->handlerName = name.substr(0, zero);

  const Mp4Box* stsd = stbl->Child("stsd");
  if (!stsd || stsd->children.size() != 1) return Fail(error, "stsd must hold one sample entry");
  out->sampleEntryType = stsd->children[0].type;

  const Mp4Box* stts = stbl->Child("stts");
  const Mp4Box* stsc = stbl->Child("stsc");
  const Mp4Box* stsz = stbl->Child("stsz");
  const Mp4Box* co64 = stbl->Child("co64");
  if (!stts || !stsc || !stsz || !co64) return Fail(error, "stbl lacks stts, stsc, stsz or co64");

  r = file.Content(*stts);
  r.Skip(4);
  for (uint32_t n = r.U32(); n > 0 && r.ok(); --n) {
    uint32_t count = r.U32();
    out->stts.emplace_back(count, r.U32());
  }
  if (!r.ok() || r.remaining() != 0) return Fail(error, "stts has the wrong size");

  if (const Mp4Box* stss = stbl->Child("stss")) {
    out->hasStss = true;
    r = file.Content(*stss);
    r.Skip(4);
    for (uint32_t n = r.U32(); n > 0 && r.ok(); --n) out->stss.push_back(r.U32());
    if (!r.ok() || r.remaining() != 0) return Fail(error, "stss has the wrong size");
  }

  r = file.Content(*stsc);
  r.Skip(4);
  while (r.remaining() >= 4) out->stsc.push_back(r.U32());

  r = file.Content(*stsz);
  r.Skip(4);
  if (r.U32() != 0) return Fail(error, "stsz with a constant sample size");
  for (uint32_t n = r.U32(); n > 0 && r.ok(); --n) out->sizes.push_back(r.U32());
  if (!r.ok() || r.remaining() != 0) return Fail(error, "stsz has the wrong size");

  r = file.Content(*co64);
  r.Skip(4);
  for (uint32_t n = r.U32(); n > 0 && r.ok(); --n) out->offsets.push_back(r.U64());
  if (!r.ok() || r.remaining() != 0) return Fail(error, "co64 has the wrong size");
  return true;
}

bool ReadAudioEntry(const Mp4File& file, const Mp4Box& trak, Mp4AudioEntry* out, std::string* error) {
  *out = Mp4AudioEntry();
  const Mp4Box* mp4a = trak.Find("mdia/minf/stbl/stsd/mp4a");
  const Mp4Box* esds = mp4a ? mp4a->Child("esds") : nullptr;
  if (!esds || mp4a->children.size() != 1) return Fail(error, "mp4a must hold exactly an esds");
  BeReader r = file.Content(*mp4a);
  r.Skip(6 + 2 + 8);
  out->channels = r.U16();
  out->sampleSize = r.U16();
  r.Skip(4);
  out->sampleRateFixed = r.U32();

  r = file.Content(*esds);
  if (r.U32() != 0) return Fail(error, "esds version/flags not 0");
  // Descriptors with four-byte lengths, nested 03 { 04 { 05 } 06 }.
  auto header = [&r](uint8_t tag, uint32_t* length) {
    if (r.U8() != tag) return false;
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i) {
      uint8_t b = r.U8();
      if (i < 3 && (b & 0x80) == 0) return false;
      n = (n << 7) | (b & 0x7F);
    }
    *length = n;
    return r.ok();
  };
  uint32_t esLength = 0, dcLength = 0, dsiLength = 0, slLength = 0;
  if (!header(0x03, &esLength) || esLength != r.remaining()) return Fail(error, "bad ES descriptor");
  out->esId = r.U16();
  if (r.U8() != 0) return Fail(error, "ES descriptor flags not 0");
  if (!header(0x04, &dcLength)) return Fail(error, "bad decoder config descriptor");
  const size_t dcEnd = r.position() + dcLength;
  out->objectType = r.U8();
  out->streamType = r.U8();
  out->bufferSizeDB = r.U24();
  out->maxBitrate = r.U32();
  out->avgBitrate = r.U32();
  if (!header(0x05, &dsiLength)) return Fail(error, "bad decoder specific info");
  for (uint32_t i = 0; i < dsiLength; ++i) out->decoderSpecificInfo.push_back(r.U8());
  if (r.position() != dcEnd) return Fail(error, "decoder config length does not match its content");
  if (!header(0x06, &slLength)) return Fail(error, "bad SL config descriptor");
  for (uint32_t i = 0; i < slLength; ++i) out->slConfig.push_back(r.U8());
  if (!r.ok() || r.remaining() != 0) return Fail(error, "esds has trailing or missing bytes");
  return true;
}

bool ReadVideoEntry(const Mp4File& file, const Mp4Box& trak, Mp4VideoEntry* out, std::string* error) {
  *out = Mp4VideoEntry();
  const Mp4Box* avc1 = trak.Find("mdia/minf/stbl/stsd/avc1");
  if (!avc1) return Fail(error, "no avc1");
  const Mp4Box* avcC = avc1->Child("avcC");
  const Mp4Box* colr = avc1->Child("colr");
  if (!avcC || !colr || avc1->ChildTypes() != std::vector<std::string>{"avcC", "colr"}) {
    return Fail(error, "avc1 must hold avcC then colr");
  }
  BeReader r = file.Content(*avc1);
  r.Skip(6 + 2 + 16);
  out->width = r.U16();
  out->height = r.U16();
  r.Skip(4 + 4 + 4 + 2);
  std::string name = r.Str(32);
  if (!name.empty()) out->compressorName = name.substr(1, static_cast<uint8_t>(name[0]));
  if (name.size() == 32) {
    for (size_t i = 1 + static_cast<uint8_t>(name[0]); i < 32; ++i) {
      if (name[i] != 0) return Fail(error, "compressor name not zero-padded");
    }
  }
  out->depth = r.U16();

  BeReader c = file.Content(*avcC);
  while (c.remaining() > 0) out->avcC.push_back(c.U8());
  BeReader a(out->avcC.data(), out->avcC.size());
  a.Skip(6);
  uint16_t spsLength = a.U16();
  for (uint16_t i = 0; i < spsLength; ++i) out->sps.push_back(a.U8());
  a.Skip(1);
  uint16_t ppsLength = a.U16();
  for (uint16_t i = 0; i < ppsLength; ++i) out->pps.push_back(a.U8());
  while (a.remaining() > 0) out->avcCTail.push_back(a.U8());
  if (!a.ok()) return Fail(error, "avcC truncated");

  BeReader k = file.Content(*colr);
  while (k.remaining() > 0) out->colr.push_back(k.U8());
  return true;
}

}  // namespace kp::test
