#include "app/tray_icon.h"

namespace kp {

namespace {

std::wstring Cut(const std::wstring& text, size_t limit) { return text.substr(0, limit); }

}  // namespace

bool TrayIcon::Add() {
  const std::wstring tooltip = Cut(tooltip_.empty() ? L"Kaptora" : tooltip_, kTooltipLimit);
  // A refused add may mean the icon is still there (a new taskbar is also
  // announced when the main display's DPI changes): taking it over keeps it
  // current and its notifications flowing.
  added_ = shell_.AddTrayIcon(state_, tooltip) || shell_.RetakeTrayIcon(state_, tooltip);
  return added_;
}

void TrayIcon::TaskbarRecreated() {
  added_ = false;
  Add();
}

void TrayIcon::SetState(TrayState state, const std::wstring& tooltip) {
  if (added_ && state == state_ && tooltip == tooltip_) return;
  state_ = state;
  tooltip_ = tooltip;
  if (added_) {
    shell_.ModifyTrayIcon(state_, Cut(tooltip_, kTooltipLimit));
  } else {
    Add();
  }
}

void TrayIcon::ShowNotification(const std::wstring& title, const std::wstring& text) {
  if (!added_) return;
  shell_.ShowNotification(Cut(title, kNotificationTitleLimit), Cut(text, kNotificationTextLimit));
}

void TrayIcon::Remove() {
  if (added_) shell_.RemoveTrayIcon();
  added_ = false;
}

}  // namespace kp
