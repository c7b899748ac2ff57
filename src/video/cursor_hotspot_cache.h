// Hot spots of cursor shapes by cursor handle, so that the (allocating)
// query of a cursor's hot spot runs once per shape. Bounded: when it already
// holds more than 256 shapes, the whole cache is cleared before a new one is
// added (applications that make cursors on the fly cannot grow it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace kp {

struct CursorHotspot {
  int32_t x = 0;
  int32_t y = 0;
};

class CursorHotspotCache {
 public:
  static constexpr size_t kMaxShapes = 256;

  // Null when `handle` has not been added (since the last clear).
  const CursorHotspot* Find(uintptr_t handle) const;
  void Add(uintptr_t handle, CursorHotspot hotspot);
  size_t size() const { return hotspots_.size(); }

 private:
  std::unordered_map<uintptr_t, CursorHotspot> hotspots_;
};

}  // namespace kp
