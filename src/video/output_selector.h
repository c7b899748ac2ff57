// Which display output the monitor setting means. The setting is either
// "primary" (or empty) or an output's device name; the outputs attached to
// the desktop are offered in enumeration order (adapter by adapter). A name
// match is taken at once; otherwise the primary monitor's output is the
// result, so a name that matches nothing (an unplugged monitor) falls back
// to the primary monitor.
#pragma once

#include <string>

namespace kp {

enum class OutputOffer {
  Other,             // not the requested output; keep walking
  PrimaryCandidate,  // the primary monitor's output: remember it (the latest one wins), keep walking
  Chosen,            // the requested output: stop walking and take it
};

class OutputSelector {
 public:
  explicit OutputSelector(std::wstring monitor);

  // True when the setting asks for the primary monitor (empty or exactly
  // "primary", case-sensitive).
  bool PrimaryMode() const { return primaryMode_; }

  // One attached output with its device name; `isPrimary` when it shows the
  // primary monitor.
  OutputOffer Offer(const std::wstring& deviceName, bool isPrimary) const;

 private:
  std::wstring monitor_;
  bool primaryMode_;
};

}  // namespace kp
