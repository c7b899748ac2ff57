#include "video/x11_video_chain_posix.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "app/log.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "video/bgra_to_nv12.h"
#include "video/ffmpeg_h264_encoder.h"
#include "video/linux_encoder_order.h"
#include "video/output_selector.h"

namespace kp {

namespace {

// xcb replies are malloc'ed; this frees them.
template <typename T>
struct Reply {
  T* p = nullptr;
  explicit Reply(T* reply) : p(reply) {}
  ~Reply() { std::free(p); }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
  T* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

struct FoundOutput {
  std::string name;
  int32_t left = 0, top = 0;
  uint32_t width = 0, height = 0;
};

// The RandR output the monitor setting means (see OutputSelector), or the
// whole root window on a server without RandR outputs.
std::optional<FoundOutput> LookUpOutput(xcb_connection_t* c, const xcb_screen_t* screen, const std::wstring& monitor) {
  const FoundOutput whole{"screen", 0, 0, screen->width_in_pixels, screen->height_in_pixels};
  Reply resources(xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, screen->root), nullptr));
  if (!resources) return whole;
  Reply primaryReply(xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, screen->root), nullptr));
  const xcb_randr_output_t primary = primaryReply ? primaryReply->output : XCB_NONE;

  const OutputSelector selector(monitor);
  std::optional<FoundOutput> chosen, primaryOutput;
  const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources.p);
  const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.p);
  for (int i = 0; i < count && !chosen; ++i) {
    Reply info(xcb_randr_get_output_info_reply(
        c, xcb_randr_get_output_info(c, outputs[i], resources->config_timestamp), nullptr));
    if (!info || info->crtc == XCB_NONE || info->connection != XCB_RANDR_CONNECTION_CONNECTED) continue;
    Reply crtc(xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, info->crtc, resources->config_timestamp),
                                             nullptr));
    if (!crtc || crtc->width == 0 || crtc->height == 0) continue;
    FoundOutput found{std::string(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.p)),
                                  static_cast<size_t>(xcb_randr_get_output_info_name_length(info.p))),
                      crtc->x, crtc->y, crtc->width, crtc->height};
    // Without a primary output set, the first lit one stands for it.
    const bool isPrimary = outputs[i] == primary || (primary == XCB_NONE && !primaryOutput);
    switch (selector.Offer(Utf8ToWide(found.name), isPrimary)) {
      case OutputOffer::Chosen: chosen = found; break;
      case OutputOffer::PrimaryCandidate: primaryOutput = found; break;
      case OutputOffer::Other: break;
    }
  }
  if (chosen) return chosen;
  if (primaryOutput) return primaryOutput;
  return count == 0 ? std::optional<FoundOutput>(whole) : std::nullopt;
}

const xcb_screen_t* DefaultScreen(xcb_connection_t* c, int number) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < number && it.rem > 0; ++i) xcb_screen_next(&it);
  return it.rem > 0 ? it.data : nullptr;
}

}  // namespace

struct X11VideoChain::Connection {
  xcb_connection_t* c = nullptr;
  const xcb_screen_t* screen = nullptr;
  std::wstring monitor;
  int shmId = -1;
  uint8_t* shm = nullptr;
  xcb_shm_seg_t segment = 0;
  bool xfixes = false;

  ~Connection() {
    if (segment != 0) xcb_shm_detach(c, segment);
    if (shm != nullptr) ::shmdt(shm);
    if (shmId >= 0) ::shmctl(shmId, IPC_RMID, nullptr);
    if (c != nullptr) xcb_disconnect(c);
  }
};

bool X11DisplayReachable() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || display[0] == '\0') return false;
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  const bool ok = xcb_connection_has_error(c) == 0;
  xcb_disconnect(c);
  return ok;
}

X11VideoChain::X11VideoChain() = default;

X11VideoChain::~X11VideoChain() {
  encoder_.reset();  // before the frame it reads
}

bool X11VideoChain::FindOutput(const std::wstring& monitor, OutputDescription* output) {
  x_ = std::make_unique<Connection>();
  int screenNumber = 0;
  x_->c = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(x_->c) != 0) return false;
  x_->screen = DefaultScreen(x_->c, screenNumber);
  if (x_->screen == nullptr) return false;
  x_->monitor = monitor;
  std::optional<FoundOutput> found = LookUpOutput(x_->c, x_->screen, monitor);
  if (!found) return false;
  outputName_ = found->name;
  left_ = found->left;
  top_ = found->top;
  width_ = found->width;
  height_ = found->height;
  const char* display = std::getenv("DISPLAY");
  output->adapterDescription = L"X11 display " + Utf8ToWide(display != nullptr ? display : "");
  output->left = left_;
  output->top = top_;
  output->right = left_ + static_cast<int32_t>(width_);
  output->bottom = top_ + static_cast<int32_t>(height_);
  return true;
}

bool X11VideoChain::CreateDevice() {
  // Colour is read as 32-bit B, G, R, X pixels.
  if (x_->screen->root_depth != 24 && x_->screen->root_depth != 32) {
    Log("capture: the X screen has %u-bit colour; only 24 and 32 bits can be captured", x_->screen->root_depth);
    return false;
  }
  return true;
}

bool X11VideoChain::OpenCapture(const PipelineConfig& /*config*/) {
  xcb_connection_t* c = x_->c;
  Reply version(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  if (!version) {
    Log("capture: the X server offers no MIT-SHM");
    return false;
  }
  const size_t bytes = size_t{width_} * height_ * 4;
  x_->shmId = ::shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (x_->shmId < 0) {
    Log("capture: cannot make a shared image of %zu bytes (error %d)", bytes, errno);
    return false;
  }
  void* address = ::shmat(x_->shmId, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) return false;
  x_->shm = static_cast<uint8_t*>(address);
  x_->segment = xcb_generate_id(c);
  if (xcb_generic_error_t* error = xcb_request_check(c, xcb_shm_attach_checked(c, x_->segment, x_->shmId, 0))) {
    Log("capture: the X server refused the shared image (error %u)", error->error_code);
    std::free(error);
    x_->segment = 0;
    return false;
  }
  // Attached on both sides: the segment goes when the last side detaches,
  // even if this process dies.
  ::shmctl(x_->shmId, IPC_RMID, nullptr);
  x_->shmId = -1;
  Reply fixes(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
  x_->xfixes = static_cast<bool>(fixes);
  nextModeCheck_ = static_cast<int64_t>(MonotonicNow()) + kTicksPerSecond;
  Log("capture: capturing '%s' %ux%u at (%d,%d) through MIT-SHM%s", outputName_.c_str(), width_, height_, left_,
      top_, x_->xfixes ? "" : " (no XFixes: no pointer)");
  return true;
}

bool X11VideoChain::InitializeComposer(uint32_t width, uint32_t height, uint32_t /*fps*/) {
  if (width == 0 || height == 0 || width % 2 != 0 || height % 2 != 0) {
    Log("composer: failed to create NV12 output %ux%u", width, height);
    return false;
  }
  output_.Resize(width, height);
  compose_.Resize(width_, height_);
  destination_ = DestinationRect(width_, height_, width, height);
  Log("composer: %ux%u -> %ux%u NV12", width_, height_, width, height);
  return true;
}

bool X11VideoChain::CreateEncoder(int32_t choice, const EncoderConfig& config) {
  const LinuxEncoderMaker make = [](LinuxEncoderKind kind) -> std::unique_ptr<VideoEncoder> {
    return std::make_unique<FfmpegH264Encoder>(kind);
  };
  encoder_ = OpenFirstEncoder(LinuxEncoderOrder(EncoderChoiceFromValue(choice)), nullptr,
                              reinterpret_cast<GpuTexture*>(&output_), config, make);
  return encoder_ != nullptr;
}

CaptureStatus X11VideoChain::AcquireFrame() {
  xcb_connection_t* c = x_->c;
  const int64_t now = static_cast<int64_t>(MonotonicNow());
  if (now >= nextModeCheck_) {
    nextModeCheck_ = now + kTicksPerSecond;
    std::optional<FoundOutput> found = LookUpOutput(c, x_->screen, x_->monitor);
    if (xcb_connection_has_error(c) == 0 &&
        (!found || found->name != outputName_ || found->left != left_ || found->top != top_ ||
         found->width != width_ || found->height != height_)) {
      Log("capture: output '%s' changed or went away; pipeline restart required", outputName_.c_str());
      return CaptureStatus::DeviceLost;
    }
  }
  xcb_generic_error_t* error = nullptr;
  Reply image(xcb_shm_get_image_reply(
      c,
      xcb_shm_get_image(c, x_->screen->root, static_cast<int16_t>(left_), static_cast<int16_t>(top_),
                        static_cast<uint16_t>(width_), static_cast<uint16_t>(height_), ~0u,
                        XCB_IMAGE_FORMAT_Z_PIXMAP, x_->segment, 0),
      &error));
  std::free(error);
  if (xcb_connection_has_error(c) != 0) {
    if (!lost_) Log("capture: the X display closed the connection");
    lost_ = true;
    haveImage_ = false;
    return CaptureStatus::DeviceLost;
  }
  if (!image || image->size < size_t{width_} * height_ * 4) {
    haveImage_ = false;
    lost_ = true;
    return CaptureStatus::NoFrame;
  }
  if (lost_) ++recoveries_;
  lost_ = false;
  haveImage_ = true;
  return CaptureStatus::NewFrame;
}

bool X11VideoChain::Compose(bool showCursor) {
  if (output_.width == 0) return false;
  if (haveImage_) {
    std::memcpy(compose_.pixels.data(), x_->shm, compose_.pixels.size());
    if (showCursor && x_->xfixes) DrawCursor();
  } else {
    std::memset(compose_.pixels.data(), 0, compose_.pixels.size());
  }
  ConvertToNv12(compose_, destination_, output_);
  return true;
}

// The pointer's image is premultiplied 0xAARRGGBB; it is blended over the
// compose image at the place every composer uses.
void X11VideoChain::DrawCursor() {
  xcb_connection_t* c = x_->c;
  Reply cursor(xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  if (!cursor) return;
  const CursorPlacement at =
      PlaceCursor(cursor->x, cursor->y, cursor->xhot, cursor->yhot, left_, top_, compose_.width, compose_.height);
  if (!at.draw) return;
  const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor.p);
  for (uint32_t sy = 0; sy < cursor->height; ++sy) {
    const int64_t y = int64_t{at.y} + sy;
    if (y < 0 || y >= compose_.height) continue;
    uint8_t* row = compose_.Row(static_cast<uint32_t>(y));
    for (uint32_t sx = 0; sx < cursor->width; ++sx) {
      const int64_t x = int64_t{at.x} + sx;
      const uint32_t p = pixels[size_t{sy} * cursor->width + sx];
      const uint32_t alpha = p >> 24;
      if (x < 0 || x >= compose_.width || alpha == 0) continue;
      uint8_t* d = row + x * 4;
      for (int channel = 0; channel < 3; ++channel) {
        const uint32_t source = (p >> (8 * channel)) & 0xFF;
        d[channel] = static_cast<uint8_t>(std::min<uint32_t>(255, source + d[channel] * (255 - alpha) / 255));
      }
    }
  }
}

bool X11VideoChain::Encode(int64_t pts, int64_t duration, PacketList& packets) {
  return encoder_->Encode(pts, duration, /*forceKeyframe=*/false, packets);
}

const VideoTrackInfo& X11VideoChain::TrackInfo() const { return encoder_ ? encoder_->TrackInfo() : emptyTrack_; }

int32_t X11VideoChain::CaptureRecoveries() const { return recoveries_; }

}  // namespace kp
