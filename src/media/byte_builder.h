// A growable byte buffer written front to back in big-endian order, with
// nested boxes whose 32-bit size is patched when the box is closed. Used to
// assemble MP4 headers; large tables reserve their room once and fill it
// through Extend() so that a million-entry table costs no per-entry growth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace kp {

class ByteBuilder {
 public:
  size_t size() const { return bytes_.size(); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t>& bytes() { return bytes_; }
  void Reserve(size_t total) { bytes_.reserve(total); }
  void Clear() { bytes_.clear(); }

  void U8(uint32_t v) { bytes_.push_back(static_cast<uint8_t>(v)); }
  void U16(uint32_t v) { Store16(Extend(2), v); }
  void U24(uint32_t v) {
    uint8_t* p = Extend(3);
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
  }
  void U32(uint32_t v) { Store32(Extend(4), v); }
  void U64(uint64_t v) { Store64(Extend(8), v); }
  // Exactly four characters, e.g. "moov".
  void FourCC(std::string_view code) { Append(code.data(), 4); }
  void Append(const void* data, size_t size) {
    if (size == 0) return;
    std::memcpy(Extend(size), data, size);
  }
  void Zeros(size_t count) {
    if (count == 0) return;
    std::memset(Extend(count), 0, count);
  }

  // Grows by `count` bytes and returns where they start; valid until the
  // next call that grows the buffer.
  uint8_t* Extend(size_t count) {
    size_t old = bytes_.size();
    bytes_.resize(old + count);
    return bytes_.data() + old;
  }

  // Opens a box: writes a placeholder size and the type; returns the box's
  // start, to be passed to EndBox once its content is written.
  size_t BeginBox(std::string_view type) {
    size_t start = bytes_.size();
    U32(0);
    FourCC(type);
    return start;
  }
  // A full box: version byte and 24-bit flags after the type.
  size_t BeginFullBox(std::string_view type, uint8_t version, uint32_t flags) {
    size_t start = BeginBox(type);
    U8(version);
    U24(flags);
    return start;
  }
  void EndBox(size_t start) { Store32(bytes_.data() + start, static_cast<uint32_t>(bytes_.size() - start)); }

  static void Store16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
  }
  static void Store32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
  }
  static void Store64(uint8_t* p, uint64_t v) {
    Store32(p, static_cast<uint32_t>(v >> 32));
    Store32(p + 4, static_cast<uint32_t>(v));
  }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace kp
