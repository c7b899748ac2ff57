#include "video/cursor_hotspot_cache.h"

namespace kp {

const CursorHotspot* CursorHotspotCache::Find(uintptr_t handle) const {
  auto it = hotspots_.find(handle);
  return it == hotspots_.end() ? nullptr : &it->second;
}

void CursorHotspotCache::Add(uintptr_t handle, CursorHotspot hotspot) {
  if (hotspots_.size() > kMaxShapes) hotspots_.clear();
  hotspots_[handle] = hotspot;
}

}  // namespace kp
