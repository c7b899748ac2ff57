// Desktop notifications through the freedesktop notification service on
// the session bus. Used only when a session bus is named in the environment
// ($DBUS_SESSION_BUS_ADDRESS): the client never starts a bus. Every
// notification offers its default action (a click on it); a click on the
// latest one is reported, as the tray reports a click on its current
// balloon.
#pragma once

#include <memory>
#include <string>

namespace kp {

class DbusNotifier {
 public:
  // Null without a session bus to talk to.
  static std::unique_ptr<DbusNotifier> Open();
  ~DbusNotifier();

  // The connection's descriptor, for the host's poll.
  int Fd() const;
  // Shows a notification (UTF-8); false when the service did not take it.
  bool Show(const std::string& title, const std::string& text);
  // After the descriptor was readable: whether the latest notification was
  // clicked since the last call.
  bool TakeClick();

 private:
  struct Bus;
  explicit DbusNotifier(std::unique_ptr<Bus> bus);
  std::unique_ptr<Bus> bus_;
};

}  // namespace kp
