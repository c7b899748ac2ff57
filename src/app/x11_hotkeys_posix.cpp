#include "app/x11_hotkeys_posix.h"

#include <xcb/xcb.h>

#include <cstdlib>

#include "app/x11_keys.h"

namespace kp {

namespace {

// The lock modifiers a grab must not depend on: Caps Lock, Num Lock (Mod2).
constexpr uint16_t kLockMasks[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

}  // namespace

struct X11Hotkeys::Connection {
  xcb_connection_t* c = nullptr;
  xcb_window_t root = 0;
  uint32_t lastReleaseTime = 0;
  uint8_t lastReleaseKey = 0;
  ~Connection() {
    if (c != nullptr) xcb_disconnect(c);
  }
};

std::unique_ptr<X11Hotkeys> X11Hotkeys::Open() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || display[0] == '\0') return nullptr;
  auto x = std::make_unique<Connection>();
  int screen = 0;
  x->c = xcb_connect(nullptr, &screen);
  if (xcb_connection_has_error(x->c) != 0) return nullptr;
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(x->c));
  for (int i = 0; i < screen && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0) return nullptr;
  x->root = it.data->root;
  return std::unique_ptr<X11Hotkeys>(new X11Hotkeys(std::move(x)));
}

X11Hotkeys::X11Hotkeys(std::unique_ptr<Connection> x) : x_(std::move(x)) {}

X11Hotkeys::~X11Hotkeys() {
  for (const auto& [id, grabbed] : grabbed_) Release(grabbed);
  xcb_flush(x_->c);
}

int X11Hotkeys::Fd() const { return xcb_get_file_descriptor(x_->c); }

bool X11Hotkeys::Grab(int id, uint32_t modifiers, uint32_t virtualKey) {
  Ungrab(id);
  const uint32_t keysym = KeysymOfVirtualKey(virtualKey);
  if (keysym == 0) return false;
  // The key code that carries the keysym in the server's keyboard mapping.
  const xcb_setup_t* setup = xcb_get_setup(x_->c);
  const uint8_t first = setup->min_keycode;
  const uint8_t count = static_cast<uint8_t>(setup->max_keycode - first + 1);
  xcb_get_keyboard_mapping_reply_t* mapping =
      xcb_get_keyboard_mapping_reply(x_->c, xcb_get_keyboard_mapping(x_->c, first, count), nullptr);
  if (mapping == nullptr) return false;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(mapping);
  uint8_t keycode = 0;
  for (int k = 0; k < count && keycode == 0; ++k) {
    for (int column = 0; column < mapping->keysyms_per_keycode; ++column) {
      if (syms[k * mapping->keysyms_per_keycode + column] == keysym) {
        keycode = static_cast<uint8_t>(first + k);
        break;
      }
    }
  }
  std::free(mapping);
  if (keycode == 0) return false;

  const Grabbed grabbed{keycode, X11ModifierMask(modifiers), false};
  bool refused = false;
  xcb_void_cookie_t cookies[4];
  for (int i = 0; i < 4; ++i) {
    cookies[i] = xcb_grab_key_checked(x_->c, 1, x_->root, static_cast<uint16_t>(grabbed.mask | kLockMasks[i]),
                                      keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
  }
  for (xcb_void_cookie_t cookie : cookies) {
    if (xcb_generic_error_t* error = xcb_request_check(x_->c, cookie)) {
      refused = true;  // BadAccess: another client holds it
      std::free(error);
    }
  }
  if (refused) {
    Release(grabbed);
    xcb_flush(x_->c);
    return false;
  }
  grabbed_[id] = grabbed;
  return true;
}

void X11Hotkeys::Release(const Grabbed& grabbed) {
  for (uint16_t lock : kLockMasks) {
    xcb_ungrab_key(x_->c, grabbed.keycode, x_->root, static_cast<uint16_t>(grabbed.mask | lock));
  }
}

void X11Hotkeys::Ungrab(int id) {
  auto found = grabbed_.find(id);
  if (found == grabbed_.end()) return;
  Release(found->second);
  xcb_flush(x_->c);
  grabbed_.erase(found);
}

std::vector<int> X11Hotkeys::TakePressed() {
  std::vector<int> pressed;
  constexpr uint16_t kRelevant = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;
  while (xcb_generic_event_t* event = xcb_poll_for_event(x_->c)) {
    const uint8_t type = event->response_type & 0x7F;
    if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
      auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
      for (auto& [id, grabbed] : grabbed_) {
        if (key->detail != grabbed.keycode) continue;
        if (type == XCB_KEY_RELEASE) {
          grabbed.down = false;
          x_->lastReleaseTime = key->time;
          x_->lastReleaseKey = key->detail;
        } else if ((key->state & kRelevant) == grabbed.mask) {
          const bool repeat = x_->lastReleaseKey == key->detail && x_->lastReleaseTime == key->time;
          if (!grabbed.down && !repeat) pressed.push_back(id);
          grabbed.down = true;
        }
      }
    }
    std::free(event);
  }
  return pressed;
}

}  // namespace kp
