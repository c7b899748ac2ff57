// Bit-level writer for H.264 raw byte sequence payloads (before emulation
// prevention): fixed-width fields, Exp-Golomb codes, byte alignment and raw
// byte runs, appended to a caller's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kp {

class RbspWriter {
 public:
  explicit RbspWriter(std::vector<uint8_t>& out) : out_(out) {}

  // The low `count` bits of `value`, most significant first (count <= 32).
  void Bits(uint32_t value, int count);
  void Flag(bool value) { Bits(value ? 1 : 0, 1); }
  // ue(v) and se(v).
  void Ue(uint32_t value);
  void Se(int32_t value);
  bool Aligned() const { return pending_ == 0; }
  // Zero bits up to the next byte boundary.
  void AlignWithZeros();
  // Appends bytes; the writer must be byte-aligned.
  void Bytes(const uint8_t* data, size_t size);
  // rbsp_trailing_bits: a one bit, then zeros to the byte boundary.
  void TrailingBits();

 private:
  std::vector<uint8_t>& out_;
  uint64_t accumulator_ = 0;
  int pending_ = 0;  // bits held in the accumulator (< 8 between calls)
};

// Appends `rbsp` to `out` with emulation prevention: a 0x03 byte after every
// two zero bytes that would otherwise be followed by a byte of 0..3.
void AppendEscaped(const uint8_t* rbsp, size_t size, std::vector<uint8_t>& out);

}  // namespace kp
