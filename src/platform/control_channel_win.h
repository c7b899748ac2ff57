// The engine's side of the Windows control events as kernel handles, so the
// host can wait on them together with its own (the settings-folder change
// notification) and its window's messages in one MsgWaitForMultipleObjects.
#pragma once

#include <windows.h>

#include <array>
#include <memory>

#include "platform/control_channel.h"

namespace kp {

class WaitableControlEvents : public ControlEvents {
 public:
  // The order of Handles(): a wait for any one reports the lowest signalled
  // index, so a Save set before a Stop is served first.
  static constexpr std::array<ControlEvent, 4> kOrder = {ControlEvent::kSave, ControlEvent::kStop,
                                                         ControlEvent::kReload, ControlEvent::kShowSettings};
  // Save, Stop, Reload, ShowSettings; valid for the object's lifetime.
  virtual const std::array<HANDLE, 4>& Handles() const = 0;
};

// Null when the events cannot be created; the reason is logged.
std::unique_ptr<WaitableControlEvents> CreateWaitableControlEvents();

}  // namespace kp
