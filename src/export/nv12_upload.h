// The copy of a decoder's system-memory NV12 picture into a mapped GPU
// upload texture. Software decoders hand out a buffer whose rows are
// `pitch` bytes apart (pitch may exceed the width) with the interleaved
// chroma plane starting `height` rows after the first luma row; the mapped
// texture has its own row pitch and its chroma plane `height` of its rows
// after the start. Only `width` bytes of each row are picture.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kp {

struct Nv12Source {
  const uint8_t* firstRow = nullptr;
  size_t pitch = 0;   // bytes between luma rows, and between chroma rows
  size_t length = 0;  // bytes readable from firstRow
};

struct Nv12Target {
  uint8_t* firstRow = nullptr;
  size_t pitch = 0;  // the mapped row pitch
};

// Bytes the source must hold for a width x height picture: every luma row,
// the chroma rows but the last, and `width` bytes of the last chroma row.
size_t Nv12SourceBytes(uint32_t width, uint32_t height, size_t pitch);

// Copies height luma rows and height / 2 chroma rows of `width` bytes. False
// (nothing copied) when the width is odd or zero, a pitch is below the width,
// or the source is shorter than Nv12SourceBytes.
bool CopyNv12Planes(const Nv12Source& source, const Nv12Target& target, uint32_t width, uint32_t height);

}  // namespace kp
