// Turns the captured desktop image into the encoder's NV12 frame on the
// pipeline's D3D11 device: a copy into a GDI-compatible BGRA compose texture
// of the upright desktop's size (turned upright on the way for a rotated
// monitor), the mouse cursor drawn into it with GDI, and one video-processor
// pass that
// converts to BT.709 limited-range NV12 and scales with black bars to keep
// the aspect ratio. Placement and cursor rules are the portable ones of
// compose_geometry.h. Pipeline thread only.
#pragma once

#include <d3d11_1.h>
#include <wrl/client.h>

#include <cstdint>

#include "video/compose_geometry.h"
#include "video/cursor_hotspot_cache.h"
#include "video/image_rotator_win.h"

namespace kp {

class FrameComposer {
 public:
  FrameComposer() = default;
  FrameComposer(const FrameComposer&) = delete;
  FrameComposer& operator=(const FrameComposer&) = delete;

  // Binds the device's video interfaces and creates the NV12 output of
  // width x height (both even). The compose stage follows at the first frame.
  bool Initialize(ID3D11Device* device, uint32_t width, uint32_t height, uint32_t fps);

  // One NV12 frame from `desktop` (null: no image, which gives a black frame
  // without cursor), delivered turned by `rotation`, of the output whose
  // top-left corner is at (originX, originY) on the virtual desktop. The
  // cursor is drawn after the turn, in upright coordinates. False when a
  // step failed (logged).
  bool Compose(ID3D11Texture2D* desktop, ImageRotation rotation, int32_t originX, int32_t originY, bool showCursor);
  // An upright image.
  bool Compose(ID3D11Texture2D* desktop, int32_t originX, int32_t originY, bool showCursor) {
    return Compose(desktop, ImageRotation::Identity, originX, originY, showCursor);
  }

  // The NV12 frame. Created once and never replaced, since the encoder
  // registers or copies from this very texture.
  ID3D11Texture2D* OutputTexture() const { return output_.Get(); }

 private:
  // (Re)builds the compose texture and the video processor for desktop
  // images of w x h; nothing to do when they already fit.
  bool EnsureComposeStage(uint32_t w, uint32_t h);
  void ReleaseComposeStage();
  void DrawCursor(int32_t originX, int32_t originY);

  Microsoft::WRL::ComPtr<ID3D11Device> device_;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
  Microsoft::WRL::ComPtr<ID3D11VideoDevice> videoDevice_;
  Microsoft::WRL::ComPtr<ID3D11VideoContext> videoContext_;
  Microsoft::WRL::ComPtr<ID3D11VideoContext1> videoContext1_;  // null on older runtimes
  uint32_t outputWidth_ = 0;
  uint32_t outputHeight_ = 0;
  uint32_t fps_ = 0;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> output_;

  uint32_t composeWidth_ = 0;
  uint32_t composeHeight_ = 0;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> compose_;
  Microsoft::WRL::ComPtr<ID3D11RenderTargetView> composeTarget_;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorEnumerator> enumerator_;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessor> processor_;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorInputView> inputView_;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorOutputView> outputView_;

  ImageRotator rotator_;
  CursorHotspotCache hotspots_;
};

}  // namespace kp
