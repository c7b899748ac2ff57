#include "video/rbsp_writer.h"

#include <bit>
#include <cstring>

namespace kp {

void RbspWriter::Bits(uint32_t value, int count) {
  if (count <= 0) return;
  const uint64_t mask = count >= 32 ? 0xFFFFFFFFull : ((uint64_t{1} << count) - 1);
  accumulator_ = (accumulator_ << count) | (value & mask);
  pending_ += count;
  while (pending_ >= 8) {
    pending_ -= 8;
    out_.push_back(static_cast<uint8_t>(accumulator_ >> pending_));
  }
  accumulator_ &= (uint64_t{1} << pending_) - 1;
}

void RbspWriter::Ue(uint32_t value) {
  const uint64_t code = uint64_t{value} + 1;
  const int length = std::bit_width(code);
  Bits(0, length - 1);
  // At most 33 bits: write the top bit separately when needed.
  if (length > 32) {
    Bits(1, 1);
    Bits(static_cast<uint32_t>(code), 32);
  } else {
    Bits(static_cast<uint32_t>(code), length);
  }
}

void RbspWriter::Se(int32_t value) {
  const int64_t v = value;
  Ue(static_cast<uint32_t>(v > 0 ? 2 * v - 1 : -2 * v));
}

void RbspWriter::AlignWithZeros() {
  if (pending_ != 0) Bits(0, 8 - pending_);
}

void RbspWriter::Bytes(const uint8_t* data, size_t size) { out_.insert(out_.end(), data, data + size); }

void RbspWriter::TrailingBits() {
  Bits(1, 1);
  AlignWithZeros();
}

void AppendEscaped(const uint8_t* rbsp, size_t size, std::vector<uint8_t>& out) {
  out.reserve(out.size() + size + size / 64 + 4);
  // Runs without two consecutive zero bytes are copied whole; only zero
  // bytes (found with memchr) are looked at one by one.
  size_t copied = 0;  // rbsp[copied, i) is still to be appended
  size_t i = 0;
  int zeros = 0;
  while (i < size) {
    if (zeros < 2) {
      if (rbsp[i] != 0) {
        const void* zero = std::memchr(rbsp + i, 0, size - i);
        if (!zero) break;
        i = static_cast<size_t>(static_cast<const uint8_t*>(zero) - rbsp);
        zeros = 0;
      }
      ++zeros;
      ++i;
      continue;
    }
    if (rbsp[i] <= 3) {
      out.insert(out.end(), rbsp + copied, rbsp + i);
      out.push_back(3);
      copied = i;
    }
    zeros = 0;  // byte i is looked at again with no zeros before it
    if (rbsp[i] > 3) ++i;
  }
  out.insert(out.end(), rbsp + copied, rbsp + size);
}

}  // namespace kp
