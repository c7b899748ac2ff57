// An X11 client for the real-capture end-to-end test: a window over the
// whole screen showing four coloured quadrants (red, green / blue, white).
// It prints "ready" once the pattern is on the screen; each "swap" line on
// standard input mirrors the pattern left to right and prints "swapped <t>",
// t being CLOCK_MONOTONIC in seconds once the server has drawn it.
#include <time.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

double MonotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void Fill(xcb_connection_t* c, xcb_window_t window, xcb_gcontext_t gc, uint32_t rgb, int16_t x, int16_t y,
          uint16_t w, uint16_t h) {
  xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &rgb);
  xcb_rectangle_t rect{x, y, w, h};
  xcb_poly_fill_rectangle(c, window, gc, 1, &rect);
}

void Draw(xcb_connection_t* c, xcb_window_t window, xcb_gcontext_t gc, uint16_t w, uint16_t h, bool mirrored) {
  const uint16_t hw = w / 2, hh = h / 2;
  const uint32_t left[2] = {0xFF0000, 0x0000FF}, right[2] = {0x00FF00, 0xFFFFFF};
  for (int row = 0; row < 2; ++row) {
    const int16_t y = static_cast<int16_t>(row * hh);
    Fill(c, window, gc, mirrored ? right[row] : left[row], 0, y, hw, hh);
    Fill(c, window, gc, mirrored ? left[row] : right[row], static_cast<int16_t>(hw), y, hw, hh);
  }
  // A round trip: everything sent before it has been drawn.
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

}  // namespace

int main() {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c) != 0) {
    std::fprintf(stderr, "x11_pattern_client: no X display\n");
    return 1;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const uint16_t w = screen->width_in_pixels, h = screen->height_in_pixels;
  xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {1, XCB_EVENT_MASK_EXPOSURE};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, w, h, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
  xcb_map_window(c, window);
  xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, window, 0, nullptr);
  Draw(c, window, gc, w, h, false);
  std::cout << "ready" << std::endl;
  bool mirrored = false;
  for (std::string line; std::getline(std::cin, line);) {
    if (line != "swap") continue;
    mirrored = !mirrored;
    Draw(c, window, gc, w, h, mirrored);
    std::cout << "swapped " << std::fixed << MonotonicSeconds() << std::endl;
  }
  xcb_disconnect(c);
  return 0;
}
