// System-wide hotkeys on an X11 display: passive key grabs on the root
// window, whatever Caps Lock and Num Lock are, delivered through a file
// descriptor the host polls. A grab another client holds is refused, as
// RegisterHotKey refuses a hotkey another program has. A held key fires
// once: the server's auto-repeat (a release and a press at the same time)
// is not a new press.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace kp {

class X11Hotkeys {
 public:
  // Null when $DISPLAY does not answer.
  static std::unique_ptr<X11Hotkeys> Open();
  ~X11Hotkeys();

  int Fd() const;
  // False when the key has no key code here or the grab is taken.
  bool Grab(int id, uint32_t modifiers, uint32_t virtualKey);
  void Ungrab(int id);
  // The ids whose keys were pressed since the last call, in order.
  std::vector<int> TakePressed();

 private:
  struct Connection;
  struct Grabbed {
    uint8_t keycode = 0;
    uint16_t mask = 0;
    bool down = false;
  };
  explicit X11Hotkeys(std::unique_ptr<Connection> x);
  void Release(const Grabbed& grabbed);

  std::unique_ptr<Connection> x_;
  std::map<int, Grabbed> grabbed_;
};

}  // namespace kp
