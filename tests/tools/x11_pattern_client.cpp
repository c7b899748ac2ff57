// A desktop client for the real-capture end-to-end test. It shows a window
// over the whole screen with four coloured quadrants (red, green / blue,
// white) and plays a 440 Hz tone into the sound server's default sink
// through a low-latency stream. It prints "ready" once both run. Standard
// input: "quiet" silences the tone; "swap" mirrors the pattern left to right
// and starts the tone again at the same instant, then prints
// "swapped <video time> <audio time>": CLOCK_MONOTONIC seconds when the
// server had drawn the new pattern, and when the first sample of the tone
// reaches the sink (the time it was queued plus the stream's latency).
// "key" types Alt+F10 through the XTEST extension and prints "keyed". From
// the start it holds a grab of Alt+F9, as another program holding a hotkey.
#include <pulse/simple.h>
#include <time.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// Plays 5 ms blocks, tone or silence, for as long as the client runs.
class TonePlayer {
 public:
  bool Open() {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 2};
    pa_buffer_attr attr{static_cast<uint32_t>(-1), 48000 / 50 * 8, static_cast<uint32_t>(-1),
                        static_cast<uint32_t>(-1), static_cast<uint32_t>(-1)};  // 20 ms target length
    int error = 0;
    stream_ = pa_simple_new(nullptr, "x11_pattern_client", PA_STREAM_PLAYBACK, nullptr, "tone", &spec, nullptr,
                            &attr, &error);
    if (stream_ == nullptr) return false;
    thread_ = std::thread([this] { Run(); });
    return true;
  }
  ~TonePlayer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (stream_ != nullptr) pa_simple_free(stream_);
  }
  void SetTone(bool on) { toneOn_ = on; }
  // Starts the tone with the next block; returns when that block's first
  // sample reaches the sink.
  double StartToneAt() {
    std::unique_lock<std::mutex> lock(mutex_);
    startRequested_ = true;
    while (startRequested_) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      lock.lock();
    }
    return startedAt_;
  }

 private:
  void Run() {
    std::vector<float> block(240 * 2);
    uint64_t sample = 0;
    while (!stop_) {
      bool starting = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (startRequested_) {
          toneOn_ = true;
          starting = true;
        }
      }
      for (size_t i = 0; i < 240; ++i, ++sample) {
        const float v = toneOn_ ? 0.3f * static_cast<float>(std::sin(2 * M_PI * 440.0 * sample / 48000.0)) : 0.0f;
        block[2 * i] = block[2 * i + 1] = v;
      }
      if (starting) {
        int error = 0;
        const pa_usec_t latency = pa_simple_get_latency(stream_, &error);
        std::lock_guard<std::mutex> lock(mutex_);
        startedAt_ = MonotonicSeconds() + static_cast<double>(latency) / 1e6;
        startRequested_ = false;
      }
      int error = 0;
      if (pa_simple_write(stream_, block.data(), block.size() * sizeof(float), &error) < 0) return;
    }
  }

  pa_simple* stream_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> toneOn_{true};
  std::mutex mutex_;
  bool startRequested_ = false;
  double startedAt_ = 0;
};

// The key code carrying `keysym`, 0 when none does.
uint8_t KeycodeOf(xcb_connection_t* c, uint32_t keysym) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  const uint8_t count = static_cast<uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  xcb_get_keyboard_mapping_reply_t* mapping =
      xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, setup->min_keycode, count), nullptr);
  if (mapping == nullptr) return 0;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(mapping);
  uint8_t found = 0;
  for (int i = 0; i < count * mapping->keysyms_per_keycode && found == 0; ++i) {
    if (syms[i] == keysym) found = static_cast<uint8_t>(setup->min_keycode + i / mapping->keysyms_per_keycode);
  }
  std::free(mapping);
  return found;
}

void TypeAltF10(xcb_connection_t* c, xcb_window_t root) {
  const uint8_t alt = KeycodeOf(c, 0xFFE9), f10 = KeycodeOf(c, 0xFFC7);  // Alt_L, F10
  xcb_test_fake_input(c, XCB_KEY_PRESS, alt, XCB_CURRENT_TIME, root, 0, 0, 0);
  xcb_test_fake_input(c, XCB_KEY_PRESS, f10, XCB_CURRENT_TIME, root, 0, 0, 0);
  xcb_test_fake_input(c, XCB_KEY_RELEASE, f10, XCB_CURRENT_TIME, root, 0, 0, 0);
  xcb_test_fake_input(c, XCB_KEY_RELEASE, alt, XCB_CURRENT_TIME, root, 0, 0, 0);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

}  // namespace

int main() {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c) != 0) {
    std::fprintf(stderr, "x11_pattern_client: no X display\n");
    return 1;
  }
  TonePlayer player;
  if (!player.Open()) {
    std::fprintf(stderr, "x11_pattern_client: no sound server\n");
    return 1;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const uint16_t w = screen->width_in_pixels, h = screen->height_in_pixels;
  xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {1, XCB_EVENT_MASK_EXPOSURE};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, w, h, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
  xcb_map_window(c, window);
  xcb_grab_key(c, 1, screen->root, XCB_MOD_MASK_1, KeycodeOf(c, 0xFFC6), XCB_GRAB_MODE_ASYNC,
               XCB_GRAB_MODE_ASYNC);  // Alt+F9
  xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, window, 0, nullptr);
  Draw(c, window, gc, w, h, false);
  std::cout << "ready" << std::endl;
  bool mirrored = false;
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "quiet") {
      player.SetTone(false);
      std::cout << "quiet" << std::endl;
    } else if (line == "key") {
      TypeAltF10(c, screen->root);
      std::cout << "keyed" << std::endl;
    } else if (line == "swap") {
      mirrored = !mirrored;
      Draw(c, window, gc, w, h, mirrored);
      const double video = MonotonicSeconds();
      const double audio = player.StartToneAt();
      std::printf("swapped %.6f %.6f\n", video, audio);
      std::fflush(stdout);
    }
  }
  xcb_disconnect(c);
  return 0;
}
