#include "video/output_selector.h"

#include <utility>

namespace kp {

OutputSelector::OutputSelector(std::wstring monitor)
    : monitor_(std::move(monitor)), primaryMode_(monitor_.empty() || monitor_ == L"primary") {}

OutputOffer OutputSelector::Offer(const std::wstring& deviceName, bool isPrimary) const {
  if (!primaryMode_ && deviceName == monitor_) return OutputOffer::Chosen;
  return isPrimary ? OutputOffer::PrimaryCandidate : OutputOffer::Other;
}

}  // namespace kp
