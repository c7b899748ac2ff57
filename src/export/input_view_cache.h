// The video processor's input views, one per (decoded texture, array slice).
// A hardware decoder cycles through a small pool of texture arrays, so a
// view made once is reused for every later picture in the same slot. The
// texture is an opaque key: the cache never dereferences it. Views are only
// valid for the processor stage they were made for, so a stage rebuild
// empties the cache.
#pragma once

#include <cstdint>
#include <map>
#include <utility>

namespace kp {

template <typename View>
class InputViewCache {
 public:
  // The view for (texture, slice); made with `make(texture, slice, &view)`
  // on first use. Null when making it failed, in which case nothing is kept
  // and the next call tries again.
  template <typename Make>
  View* Get(const void* texture, uint32_t slice, Make&& make) {
    const Key key{texture, slice};
    auto found = views_.find(key);
    if (found != views_.end()) return &found->second;
    View view{};
    if (!make(texture, slice, &view)) return nullptr;
    return &views_.emplace(key, std::move(view)).first->second;
  }

  void Clear() { views_.clear(); }
  size_t Size() const { return views_.size(); }

 private:
  using Key = std::pair<const void*, uint32_t>;
  std::map<Key, View> views_;
};

}  // namespace kp
