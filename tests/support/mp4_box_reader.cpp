#include "support/mp4_box_reader.h"

namespace kp::test {
namespace {

constexpr uint32_t kIdentity[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};

// Containers, and the bytes of fields before their children.
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

bool Fail(std::string* error, std::string text) {
  *error = std::move(text);
  return false;
}

bool ParseBoxes(const std::string& bytes, uint64_t pos, uint64_t end, bool topLevel, bool headerOnly,
                std::vector<Mp4Box>* out, std::string* error) {
  while (pos < end) {
    const std::string at = " at " + std::to_string(pos);
    if (end - pos < 8) return Fail(error, "truncated box header" + at);
    BeReader r(reinterpret_cast<const uint8_t*>(bytes.data()) + pos, end - pos);
    Mp4Box box;
    box.offset = pos;
    box.size = r.U32();
    box.type = r.Str(4);
    box.headerSize = 8;
    if (box.size == 1) {
      box.size = r.U64();
      box.headerSize = 16;
      if (!r.ok()) return Fail(error, "truncated largesize" + at);
    }
    if (box.size < box.headerSize) return Fail(error, "box '" + box.type + "' smaller than its header" + at);
    const bool beyond = box.size > end - pos;
    if (beyond && !(topLevel && headerOnly && box.type == "mdat")) {
      return Fail(error, "box '" + box.type + "' runs past its parent" + at);
    }
    uint32_t skip = 0;
    if (!beyond && ChildOffset(box.type, &skip)) {
      if (skip > box.payloadSize()) return Fail(error, "box '" + box.type + "' too small for its fields");
      if (!ParseBoxes(bytes, box.payloadOffset() + skip, pos + box.size, false, headerOnly, &box.children, error)) {
        return false;
      }
    }
    out->push_back(std::move(box));
    if (beyond) return true;  // the header-only mdat is last by definition
    pos += out->back().size;
  }
  return true;
}

// Version and flags of a full box; the flags must be `flags`.
bool FullBox(BeReader& r, uint32_t flags = 0) { return r.U32() == flags; }

bool Matrix(BeReader& r) {
  bool same = true;
  for (uint32_t v : kIdentity) same = r.U32() == v && same;
  return same;
}

}  // namespace

bool BeReader::Take(size_t count) {
  if (ok_ && size_ - pos_ >= count) return true;
  ok_ = false;
  pos_ = size_;
  return false;
}

uint8_t BeReader::U8() { return Take(1) ? data_[pos_++] : 0; }
// Each high part is read in its own statement: operands of | are unsequenced.
uint16_t BeReader::U16() {
  const uint16_t hi = U8();
  return static_cast<uint16_t>((hi << 8) | U8());
}
uint32_t BeReader::U24() {
  const uint32_t hi = U8();
  return (hi << 16) | U16();
}
uint32_t BeReader::U32() {
  const uint32_t hi = U16();
  return (hi << 16) | U16();
}
uint64_t BeReader::U64() {
  const uint64_t hi = U32();
  return (hi << 32) | U32();
}

std::string BeReader::Str(size_t count) {
  if (!Take(count)) return std::string();
  pos_ += count;
  return std::string(reinterpret_cast<const char*>(data_ + pos_ - count), count);
}

std::vector<uint8_t> BeReader::Bytes(size_t count) {
  const std::string s = Str(count);
  return std::vector<uint8_t>(s.begin(), s.end());
}

void BeReader::Skip(size_t count) {
  if (Take(count)) pos_ += count;
}

void BeReader::Zero(size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (U8() != 0) ok_ = false;
  }
}

const Mp4Box* Mp4Box::Child(std::string_view childType) const {
  for (const Mp4Box& child : children) {
    if (child.type == childType) return &child;
  }
  return nullptr;
}

const Mp4Box* Mp4Box::Find(std::string_view path) const {
  const Mp4Box* box = this;
  while (!path.empty() && box != nullptr) {
    const size_t slash = path.find('/');
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
  const size_t slash = path.find('/');
  for (const Mp4Box& box : boxes_) {
    if (box.type == path.substr(0, slash)) {
      return slash == std::string_view::npos ? &box : box.Find(path.substr(slash + 1));
    }
  }
  return nullptr;
}

std::vector<const Mp4Box*> Mp4File::Traks() const {
  std::vector<const Mp4Box*> traks;
  if (const Mp4Box* moov = Find("moov")) {
    for (const Mp4Box& child : moov->children) {
      if (child.type == "trak") traks.push_back(&child);
    }
  }
  return traks;
}

BeReader Mp4File::Content(const Mp4Box& box) const {
  const uint64_t end = std::min<uint64_t>(box.offset + box.size, bytes_.size());
  return BeReader(reinterpret_cast<const uint8_t*>(bytes_.data()) + box.payloadOffset(), end - box.payloadOffset());
}

std::string Mp4File::Raw(const Mp4Box& box) const { return bytes_.substr(box.offset, box.size); }

std::vector<uint32_t> Mp4Track::Durations() const {
  std::vector<uint32_t> durations;
  for (const auto& [count, delta] : stts) durations.insert(durations.end(), count, delta);
  return durations;
}

bool ReadMovie(const Mp4File& file, Mp4Movie* out, std::string* error) {
  const Mp4Box* mvhd = file.Find("moov/mvhd");
  if (mvhd == nullptr) return Fail(error, "no mvhd");
  BeReader r = file.Content(*mvhd);
  bool fixed = FullBox(r);
  r.Zero(8);  // creation and modification times
  out->timescale = r.U32();
  out->duration = r.U32();
  fixed = r.U32() == 0x00010000 && r.U16() == 0x0100 && fixed;  // rate and volume 1.0
  r.Zero(10);
  fixed = Matrix(r) && fixed;
  r.Zero(24);
  out->nextTrackId = r.U32();
  return fixed && r.done() ? true : Fail(error, "mvhd has a wrong fixed field or size");
}

namespace {

bool ReadAudioEntry(const Mp4File& file, const Mp4Box& mp4a, Mp4AudioEntry* out, std::string* error) {
  const Mp4Box* esds = mp4a.Child("esds");
  if (!esds || mp4a.children.size() != 1) return Fail(error, "mp4a must hold exactly an esds");
  BeReader r = file.Content(mp4a);
  r.Zero(6);
  bool fixed = r.U16() == 1;  // data reference index
  r.Zero(8);
  out->channels = r.U16();
  fixed = r.U16() == 16 && fixed;  // sample size
  r.Zero(4);
  out->sampleRateFixed = r.U32();
  if (!fixed || !r.ok()) return Fail(error, "mp4a has a wrong fixed field");

  r = file.Content(*esds);
  // Each descriptor must hold exactly what follows up to its end.
  auto header = [&r](uint8_t tag, uint32_t* length) {
    if (r.U8() != tag) return false;
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i) {
      const uint8_t b = r.U8();
      if (i < 3 && (b & 0x80) == 0) return false;
      n = (n << 7) | (b & 0x7F);
    }
    *length = n;
    return r.ok();
  };
  uint32_t esLength = 0, dcLength = 0, dsiLength = 0, slLength = 0;
  if (!FullBox(r) || !header(0x03, &esLength) || esLength != r.remaining()) return Fail(error, "bad ES descriptor");
  out->esId = r.U16();
  if (r.U8() != 0 || !header(0x04, &dcLength)) return Fail(error, "bad decoder config descriptor");
  const size_t dcStart = r.remaining();
  fixed = r.U8() == 0x40 && r.U8() == 0x15;  // MPEG-4 audio, audio stream
  out->bufferSizeDB = r.U24();
  out->maxBitrate = r.U32();
  out->avgBitrate = r.U32();
  if (!fixed || !header(0x05, &dsiLength)) return Fail(error, "bad decoder specific info");
  out->decoderSpecificInfo = r.Bytes(dsiLength);
  if (dcStart - r.remaining() != dcLength) return Fail(error, "decoder config length does not match its content");
  if (!header(0x06, &slLength) || slLength != 1 || r.U8() != 0x02 || !r.done()) {
    return Fail(error, "SL config is not the one byte 2 ending the esds");
  }
  return true;
}

bool ReadVideoEntry(const Mp4File& file, const Mp4Box& avc1, Mp4VideoEntry* out, std::string* error) {
  if (avc1.ChildTypes() != std::vector<std::string>{"avcC", "colr"}) return Fail(error, "avc1 must hold avcC then colr");
  BeReader r = file.Content(avc1);
  r.Zero(6);
  bool fixed = r.U16() == 1;  // data reference index
  r.Zero(16);
  out->width = r.U16();
  out->height = r.U16();
  fixed = r.U32() == 0x00480000 && r.U32() == 0x00480000 && fixed;  // 72 dpi
  r.Zero(4);
  fixed = r.U16() == 1 && fixed;  // frame count
  const std::string name = r.Str(32);
  const size_t length = name.empty() ? 0 : static_cast<uint8_t>(name[0]);
  fixed = length <= 31 && name.find_first_not_of('\0', 1 + length) == std::string::npos && fixed;
  fixed = r.U16() == 0x18 && r.U16() == 0xFFFF && fixed;  // depth, pre-defined
  if (!fixed || !r.ok()) return Fail(error, "avc1 has a wrong fixed field");
  out->compressorName = name.substr(1, length);

  BeReader c = file.Content(*avc1.Child("avcC"));
  out->avcC = c.Bytes(c.remaining());
  BeReader a(out->avcC.data(), out->avcC.size());
  a.Skip(6);
  out->sps = a.Bytes(a.U16());
  a.Skip(1);
  out->pps = a.Bytes(a.U16());
  out->avcCTail = a.Bytes(a.remaining());
  if (!a.ok()) return Fail(error, "avcC truncated");
  BeReader k = file.Content(*avc1.Child("colr"));
  out->colr = k.Bytes(k.remaining());
  return true;
}

}  // namespace

bool ReadTrack(const Mp4File& file, const Mp4Box& trak, Mp4Track* out, std::string* error) {
  *out = Mp4Track();
  const Mp4Box* tkhd = trak.Child("tkhd");
  const Mp4Box* mdhd = trak.Find("mdia/mdhd");
  const Mp4Box* hdlr = trak.Find("mdia/hdlr");
  const Mp4Box* minf = trak.Find("mdia/minf");
  const Mp4Box* stbl = trak.Find("mdia/minf/stbl");
  if (!tkhd || !mdhd || !hdlr || !stbl) return Fail(error, "trak lacks tkhd, mdhd, hdlr or stbl");

  BeReader r = file.Content(*tkhd);
  out->tkhdFlags = r.U32();  // version 0
  r.Zero(8);
  out->trackId = r.U32();
  r.Zero(4);
  out->tkhdDuration = r.U32();
  r.Zero(10);  // reserved, layer
  out->alternateGroup = r.U16();
  out->volume = r.U16();
  r.Zero(2);
  const bool identity = Matrix(r);
  out->widthFixed = r.U32();
  out->heightFixed = r.U32();
  if (!identity || !r.done()) return Fail(error, "tkhd has a wrong fixed field or size");

  if (const Mp4Box* edts = trak.Child("edts")) {
    const Mp4Box* elst = edts->Child("elst");
    if (elst == nullptr) return Fail(error, "edts without elst");
    BeReader e = file.Content(*elst);
    const bool ok = FullBox(e);
    for (uint32_t n = e.U32(); n > 0 && e.ok(); --n) {
      const uint32_t duration = e.U32();
      const uint32_t time = e.U32();
      out->elst.push_back({duration, time, e.U32()});
    }
    if (!ok || !e.done()) return Fail(error, "elst has the wrong size");
  }

  r = file.Content(*mdhd);
  bool fixed = FullBox(r);
  r.Zero(8);
  out->timescale = r.U32();
  out->mediaDuration = r.U32();
  fixed = r.U16() == 0x55C4 && fixed;  // "und"
  r.Zero(2);
  if (!fixed || !r.done()) return Fail(error, "mdhd has a wrong fixed field or size");

  r = file.Content(*hdlr);
  fixed = FullBox(r);
  r.Zero(4);
  out->handlerType = r.Str(4);
  r.Zero(12);
  const std::string name = r.Str(r.remaining());
  if (!fixed || !r.ok() || name.empty() || name.find('\0') != name.size() - 1) {
    return Fail(error, "hdlr name is not one zero-terminated string ending the box");
  }
  out->handlerName = name.substr(0, name.size() - 1);

  // The media header and the data reference (media in this file) are fixed.
  const bool video = out->handlerType == "vide";
  const std::string mediaHeader = video ? std::string("\0\0\0\x14vmhd\0\0\0\x01\0\0\0\0\0\0\0\0", 20)
                                        : std::string("\0\0\0\x10smhd\0\0\0\0\0\0\0\0", 16);
  const std::string dinf("\0\0\0\x24" "dinf\0\0\0\x1c" "dref\0\0\0\0\0\0\0\x01\0\0\0\x0c" "url \0\0\0\x01", 36);
  if (minf->ChildTypes() != std::vector<std::string>{mediaHeader.substr(4, 4), "dinf", "stbl"} ||
      file.Raw(minf->children[0]) != mediaHeader || file.Raw(minf->children[1]) != dinf) {
    return Fail(error, "minf must hold the fixed media header and dinf, then stbl");
  }

  out->stblTypes = stbl->ChildTypes();
  const Mp4Box* stsd = stbl->Child("stsd");
  const Mp4Box* stts = stbl->Child("stts");
  const Mp4Box* stsc = stbl->Child("stsc");
  const Mp4Box* stsz = stbl->Child("stsz");
  const Mp4Box* co64 = stbl->Child("co64");
  if (!stsd || !stts || !stsc || !stsz || !co64) return Fail(error, "stbl lacks stsd, stts, stsc, stsz or co64");
  r = file.Content(*stsd);
  if (!FullBox(r) || r.U32() != 1 || stsd->children.size() != 1) return Fail(error, "stsd must hold one entry");
  const Mp4Box& entry = stsd->children[0];
  if (entry.type != (video ? "avc1" : "mp4a")) return Fail(error, "sample entry does not match the handler");
  if (video ? !ReadVideoEntry(file, entry, &out->video, error) : !ReadAudioEntry(file, entry, &out->audio, error)) {
    return false;
  }

  r = file.Content(*stts);
  fixed = FullBox(r);
  for (uint32_t n = r.U32(); n > 0 && r.ok(); --n) {
    const uint32_t count = r.U32();
    out->stts.emplace_back(count, r.U32());
  }
  if (!fixed || !r.done()) return Fail(error, "stts has the wrong size");

  if (const Mp4Box* stss = stbl->Child("stss")) {
    r = file.Content(*stss);
    fixed = FullBox(r);
    for (uint32_t n = r.U32(); n > 0 && r.ok(); --n) out->stss.push_back(r.U32());
    if (!fixed || !r.done()) return Fail(error, "stss has the wrong size");
  }

  r = file.Content(*stsc);  // one entry: from chunk 1, one sample per chunk, description 1
  if (!FullBox(r) || r.U32() != 1 || r.U32() != 1 || r.U32() != 1 || r.U32() != 1 || !r.done()) {
    return Fail(error, "stsc is not one sample per chunk");
  }

  r = file.Content(*stsz);
  if (!FullBox(r) || r.U32() != 0) return Fail(error, "stsz with a constant sample size");
  for (uint32_t n = r.U32(); n > 0 && r.ok(); --n) out->sizes.push_back(r.U32());
  if (!r.done()) return Fail(error, "stsz has the wrong size");

  r = file.Content(*co64);
  fixed = FullBox(r);
  for (uint32_t n = r.U32(); n > 0 && r.ok(); --n) out->offsets.push_back(r.U64());
  if (!fixed || !r.done()) return Fail(error, "co64 has the wrong size");
  return true;
}

}  // namespace kp::test
