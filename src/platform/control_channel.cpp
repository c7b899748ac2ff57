#include "platform/control_channel.h"

namespace kp {

const wchar_t* ControlEventName(ControlEvent event) {
  switch (event) {
    case ControlEvent::kSave: return L"Local\\Kaptora.Save";
    case ControlEvent::kStop: return L"Local\\Kaptora.Stop";
    case ControlEvent::kReload: return L"Local\\Kaptora.Reload";
    case ControlEvent::kShowSettings: return L"Local\\Kaptora.ShowSettings";
  }
  return L"";
}

}  // namespace kp
