#include "support/mp4_box_reader.h"

#include <algorithm>
#include <functional>
#include <sstream>

#include "support/temp_folder.h"

namespace kp::test {
namespace {

// Containers, and the bytes of fields before their children.
const std::map<std::string, uint32_t, std::less<>> kContainers = {
    {"moov", 0}, {"trak", 0}, {"edts", 0}, {"mdia", 0}, {"minf", 0}, {"dinf", 0},
    {"stbl", 0}, {"dref", 8}, {"stsd", 8}, {"avc1", 78}, {"mp4a", 28},
};

bool Fail(std::string* error, std::string text) {
  *error = std::move(text);
  return false;
}

// Big-endian reads; past the end they yield zeros and clear `ok`.
struct Cursor {
  const std::string& bytes;
  uint64_t pos, end;
  bool ok = true;

  uint64_t Read(int n) {
    if (end - pos < static_cast<uint64_t>(n)) return ok = false, pos = end, 0;
    uint64_t v = 0;
    while (n-- > 0) v = (v << 8) | static_cast<uint8_t>(bytes[pos++]);
    return v;
  }
  std::string Str(uint64_t n) {
    if (end - pos < n) return ok = false, pos = end, std::string();
    pos += n;
    return bytes.substr(pos - n, n);
  }
  std::vector<uint8_t> Bytes(uint64_t n) {
    const std::string s = Str(n);
    return {s.begin(), s.end()};
  }
  // Space-separated items: "name:N" keeps an N-byte field under `name`,
  // "N=V" is an N-byte field that must hold V, "zN" N zero bytes, and
  // "matrix" the identity matrix.
  void Layout(const std::string& layout, Mp4Fields* fields) {
    std::istringstream items(layout == "matrix" ? "4=0x10000 z12 4=0x10000 z12 4=0x40000000" : layout);
    for (std::string item; items >> item;) {
      const size_t colon = item.find(':'), equals = item.find('=');
      if (item == "matrix") {
        Layout(item, fields);
      } else if (item[0] == 'z') {
        for (int n = std::stoi(item.substr(1)); n > 0; --n) ok = Read(1) == 0 && ok;
      } else if (colon != std::string::npos) {
        (*fields)[item.substr(0, colon)] = Read(std::stoi(item.substr(colon + 1)));
      } else {
        ok = Read(std::stoi(item)) == std::stoull(item.substr(equals + 1), nullptr, 0) && ok;
      }
    }
  }
  // A u32 count, then that many entries of `perEntry` fields of `width` bytes.
  std::vector<uint64_t> Table(int perEntry, int width) {
    std::vector<uint64_t> values;
    for (uint64_t n = Read(4) * perEntry; n > 0 && ok; --n) values.push_back(Read(width));
    return values;
  }
  // An MPEG-4 descriptor header with a four-byte length; its tag must be `tag`.
  uint64_t Descriptor(uint64_t tag) {
    ok = Read(1) == tag && ok;
    uint64_t length = 0;
    for (int i = 0; i < 4; ++i) {
      const uint64_t b = Read(1);
      ok = (i == 3 || (b & 0x80) != 0) && ok;
      length = (length << 7) | (b & 0x7F);
    }
    return length;
  }
};

bool ParseBoxes(const std::string& bytes, uint64_t pos, uint64_t end, bool topLevel, bool headerOnly,
                std::vector<Mp4Box>* out, std::string* error) {
  while (pos < end) {
    const std::string at = " at " + std::to_string(pos);
    Cursor r{bytes, pos, end};
    Mp4Box box;
    box.offset = pos;
    box.size = r.Read(4);
    box.type = r.Str(4);
    box.headerSize = 8;
    if (box.size == 1) box.size = r.Read(8), box.headerSize = 16;
    if (!r.ok) return Fail(error, "truncated box header" + at);
    if (box.size < box.headerSize) return Fail(error, "box '" + box.type + "' smaller than its header" + at);
    const bool beyond = box.size > end - pos;
    if (beyond && !(topLevel && headerOnly && box.type == "mdat")) {
      return Fail(error, "box '" + box.type + "' runs past its parent" + at);
    }
    const auto container = kContainers.find(box.type);
    if (!beyond && container != kContainers.end()) {
      if (container->second > box.size - box.headerSize) return Fail(error, "box '" + box.type + "' too small" + at);
      if (!ParseBoxes(bytes, box.payloadOffset() + container->second, pos + box.size, false, headerOnly,
                      &box.children, error)) {
        return false;
      }
    }
    out->push_back(std::move(box));
    if (beyond) return true;  // the header-only mdat is last by definition
    pos += out->back().size;
  }
  return true;
}

// Reads the fields of `box` (up to its first child) by `layout`, then by
// `more`; they must fill it exactly.
bool ReadBox(const Mp4File& file, const Mp4Box* box, const std::string& layout, Mp4Fields* fields,
             std::string* error, const std::function<void(Cursor&)>& more = {}) {
  if (box == nullptr) return Fail(error, "a box is missing: " + layout);
  Cursor c{file.bytes(), box->payloadOffset(), box->children.empty() ? box->offset + box->size : box->children[0].offset};
  c.Layout(layout, fields);
  if (more) more(c);
  return c.ok && c.pos == c.end ? true : Fail(error, "'" + box->type + "' has a wrong fixed field or size");
}

}  // namespace

const Mp4Box* Mp4Box::Find(std::string_view path) const {
  const Mp4Box* box = this;
  while (!path.empty() && box != nullptr) {
    const size_t slash = path.find('/');
    const auto& children = box->children;
    const auto it = std::find_if(children.begin(), children.end(),
                                 [&](const Mp4Box& child) { return child.type == path.substr(0, slash); });
    box = it == children.end() ? nullptr : &*it;
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
  root_ = Mp4Box();
  return ParseBoxes(bytes_, 0, bytes_.size(), true, headerOnly, &root_.children, error);
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

std::vector<uint64_t> Mp4Track::Durations() const {
  std::vector<uint64_t> durations;
  for (size_t i = 0; i + 1 < stts.size(); i += 2) durations.insert(durations.end(), stts[i], stts[i + 1]);
  return durations;
}

bool ReadMovie(const Mp4File& file, Mp4Fields* out, std::string* error) {
  return ReadBox(file, file.Find("moov/mvhd"),
                 "4=0 z8 timescale:4 duration:4 4=0x10000 2=0x100 z10 matrix z24 nextTrackId:4", out, error);
}

bool ReadTrack(const Mp4File& file, const Mp4Box& trak, Mp4Track* out, std::string* error) {
  *out = Mp4Track();
  Mp4Fields* f = &out->fields;
  const bool fields =
      ReadBox(file, trak.Find("tkhd"), "flags:4 z8 trackId:4 z4 tkhdDuration:4 z10 group:2 volume:2 z2 matrix width:4 height:4",
              f, error) &&
      (!trak.Find("edts") ||
       ReadBox(file, trak.Find("edts/elst"), "4=0", f, error, [&](Cursor& c) { out->elst = c.Table(3, 4); })) &&
      ReadBox(file, trak.Find("mdia/mdhd"), "4=0 z8 timescale:4 mediaDuration:4 2=0x55C4 z2", f, error) &&
      ReadBox(file, trak.Find("mdia/hdlr"), "4=0 z4", f, error, [&](Cursor& c) {
        out->handlerType = c.Str(4);
        c.Layout("z12", f);
        out->handlerName = c.Str(c.end - c.pos);
        // One zero-terminated string ending the box.
        c.ok = c.ok && !out->handlerName.empty() && out->handlerName.find('\0') == out->handlerName.size() - 1;
        if (c.ok) out->handlerName.pop_back();
      });
  if (!fields) return false;

  // The media header and the data reference (media in this file) are fixed.
  const bool video = out->handlerType == "vide";
  const std::string mediaHeader = video ? std::string("\0\0\0\x14vmhd\0\0\0\x01\0\0\0\0\0\0\0\0", 20)
                                        : std::string("\0\0\0\x10smhd\0\0\0\0\0\0\0\0", 16);
  const std::string dinf("\0\0\0\x24" "dinf\0\0\0\x1c" "dref\0\0\0\0\0\0\0\x01\0\0\0\x0c" "url \0\0\0\x01", 36);
  const Mp4Box* minf = trak.Find("mdia/minf");
  if (minf == nullptr || minf->ChildTypes() != std::vector<std::string>{mediaHeader.substr(4, 4), "dinf", "stbl"} ||
      file.Raw(minf->children[0]) != mediaHeader || file.Raw(minf->children[1]) != dinf) {
    return Fail(error, "minf must hold the fixed media header and dinf, then stbl");
  }

  const Mp4Box* stbl = trak.Find("mdia/minf/stbl");
  out->stblTypes = stbl->ChildTypes();
  const Mp4Box* stsd = stbl->Find("stsd");
  if (stsd == nullptr || stsd->ChildTypes() != std::vector<std::string>{video ? "avc1" : "mp4a"}) {
    return Fail(error, "stsd must hold one entry that matches the handler");
  }
  const Mp4Box& entry = stsd->children[0];
  auto content = [&](const char* type) {
    const Mp4Box* box = entry.Find(type);
    const std::string s = box ? file.bytes().substr(box->payloadOffset(), box->size - box->headerSize) : "";
    return std::vector<uint8_t>(s.begin(), s.end());
  };
  bool ok = ReadBox(file, stsd, "4=0 4=1", f, error);
  if (video) {
    ok = ok && entry.ChildTypes() == std::vector<std::string>{"avcC", "colr"} &&
         ReadBox(file, &entry, "z6 2=1 z16 avcWidth:2 avcHeight:2 4=0x480000 4=0x480000 z4 2=1", f, error,
                 [&](Cursor& c) {
                   const std::string name = c.Str(32);
                   const size_t length = static_cast<uint8_t>(name[0]);
                   c.ok = c.ok && length <= 31 && name.find_first_not_of('\0', 1 + length) == std::string::npos;
                   out->compressorName = name.substr(1, length);
                   c.Layout("2=0x18 2=0xFFFF", f);  // depth, pre-defined
                 });
    out->avcC = content("avcC");
    out->colr = content("colr");
  } else {
    ok = ok && entry.ChildTypes() == std::vector<std::string>{"esds"} &&
         ReadBox(file, &entry, "z6 2=1 z8 channels:2 2=16 z4 sampleRate:4", f, error) &&
         ReadBox(file, entry.Find("esds"), "4=0", f, error, [&](Cursor& c) {
           // Each descriptor holds exactly what follows up to its end.
           c.ok = c.Descriptor(3) == c.end - c.pos && c.ok;
           c.Layout("esId:2 1=0", f);
           const uint64_t config = c.Descriptor(4), configStart = c.pos;
           c.Layout("1=0x40 1=0x15 bufferSizeDB:3 maxBitrate:4 avgBitrate:4", f);  // MPEG-4 audio stream
           out->decoderSpecificInfo = c.Bytes(c.Descriptor(5));
           c.ok = c.pos - configStart == config && c.Descriptor(6) == 1 && c.Read(1) == 2 && c.ok;
         });
  }
  return ok &&
         ReadBox(file, stbl->Find("stts"), "4=0", f, error, [&](Cursor& c) { out->stts = c.Table(2, 4); }) &&
         (!stbl->Find("stss") ||
          ReadBox(file, stbl->Find("stss"), "4=0", f, error, [&](Cursor& c) { out->stss = c.Table(1, 4); })) &&
         ReadBox(file, stbl->Find("stsc"), "4=0 4=1 4=1 4=1 4=1", f, error) &&  // one sample per chunk
         ReadBox(file, stbl->Find("stsz"), "4=0 4=0", f, error, [&](Cursor& c) { out->sizes = c.Table(1, 4); }) &&
         ReadBox(file, stbl->Find("co64"), "4=0", f, error, [&](Cursor& c) { out->offsets = c.Table(1, 8); });
}

::testing::AssertionResult ParseMp4(std::string bytes, Mp4Parsed* out, bool headerOnly) {
  out->tracks.clear();
  std::string error;
  bool ok = out->file.Parse(std::move(bytes), &error, headerOnly) && ReadMovie(out->file, &out->movie, &error);
  for (const Mp4Box* trak : out->file.Traks()) {
    if (ok) ok = ReadTrack(out->file, *trak, &out->tracks.emplace_back(), &error);
  }
  return ok ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << error;
}

::testing::AssertionResult ReadMp4(const std::wstring& path, Mp4Parsed* out) {
  if (!FileExists(path)) return ::testing::AssertionFailure() << "no file";
  return ParseMp4(ReadFileBytes(path), out);
}

}  // namespace kp::test
