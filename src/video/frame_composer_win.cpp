#include "video/frame_composer_win.h"

#include <dxgi1_2.h>
#include <windows.h>

#include "app/log.h"
#include "video/compose_geometry.h"
#include "video/d3d11_device_win.h"

namespace kp {

using Microsoft::WRL::ComPtr;

bool FrameComposer::Initialize(ID3D11Device* device, uint32_t width, uint32_t height, uint32_t fps) {
  device_ = device;
  device_->GetImmediateContext(context_.ReleaseAndGetAddressOf());
  outputWidth_ = width;
  outputHeight_ = height;
  fps_ = fps;
  if (FAILED(device_.As(&videoDevice_)) || FAILED(context_.As(&videoContext_))) {
    Log("composer: D3D11 video interfaces unavailable (device needs D3D11_CREATE_DEVICE_VIDEO_SUPPORT)");
    return false;
  }
  if (FAILED(videoContext_.As(&videoContext1_))) videoContext1_.Reset();
  rotator_.Initialize(device_.Get(), videoDevice_.Get(), videoContext_.Get());

  const D3D11_TEXTURE2D_DESC desc = TextureDescription(width, height, DXGI_FORMAT_NV12, D3D11_BIND_RENDER_TARGET);
  if (FAILED(device_->CreateTexture2D(&desc, nullptr, output_.ReleaseAndGetAddressOf()))) {
    Log("composer: failed to create NV12 output %ux%u", width, height);
    return false;
  }
  return true;
}

void FrameComposer::ReleaseComposeStage() {
  processor_.Reset();
  enumerator_.Reset();
  inputView_.Reset();
  outputView_.Reset();
  composeTarget_.Reset();
  compose_.Reset();
}

bool FrameComposer::EnsureComposeStage(uint32_t w, uint32_t h) {
  if (processor_ && w == composeWidth_ && h == composeHeight_) return true;
  ReleaseComposeStage();
  composeWidth_ = w;
  composeHeight_ = h;

  // Render target for the black frame, shader resource for the video
  // processor, GDI-compatible so the cursor can be drawn straight into it.
  const D3D11_TEXTURE2D_DESC desc =
      TextureDescription(w, h, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE,
                         D3D11_RESOURCE_MISC_GDI_COMPATIBLE);
  if (FAILED(device_->CreateTexture2D(&desc, nullptr, compose_.ReleaseAndGetAddressOf())) ||
      FAILED(device_->CreateRenderTargetView(compose_.Get(), nullptr, composeTarget_.ReleaseAndGetAddressOf()))) {
    Log("composer: failed to create compose texture %ux%u", w, h);
    return false;
  }

  D3D11_VIDEO_PROCESSOR_CONTENT_DESC content{};
  content.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
  content.InputFrameRate = {fps_, 1};
  content.InputWidth = w;
  content.InputHeight = h;
  content.OutputFrameRate = {fps_, 1};
  content.OutputWidth = outputWidth_;
  content.OutputHeight = outputHeight_;
  content.Usage = D3D11_VIDEO_USAGE_OPTIMAL_QUALITY;
  HRESULT hr = videoDevice_->CreateVideoProcessorEnumerator(&content, enumerator_.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = videoDevice_->CreateVideoProcessor(enumerator_.Get(), 0, processor_.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    Log("composer: video processor creation failed (hr=0x%08lX)", static_cast<unsigned long>(hr));
    processor_.Reset();
    return false;
  }

  D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC inputDesc{};
  inputDesc.ViewDimension = D3D11_VPIV_DIMENSION_TEXTURE2D;
  inputDesc.Texture2D.MipSlice = 0;
  D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC outputDesc{};
  outputDesc.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2D;
  outputDesc.Texture2D.MipSlice = 0;
  if (FAILED(videoDevice_->CreateVideoProcessorInputView(compose_.Get(), enumerator_.Get(), &inputDesc,
                                                         inputView_.ReleaseAndGetAddressOf())) ||
      FAILED(videoDevice_->CreateVideoProcessorOutputView(output_.Get(), enumerator_.Get(), &outputDesc,
                                                          outputView_.ReleaseAndGetAddressOf()))) {
    Log("composer: video processor view creation failed");
    processor_.Reset();
    return false;
  }

  // Full-range RGB in, BT.709 studio-range (16-235) YCbCr out.
  ID3D11VideoContext* vc = videoContext_.Get();
  if (videoContext1_) {
    videoContext1_->VideoProcessorSetStreamColorSpace1(processor_.Get(), 0, DXGI_COLOR_SPACE_RGB_FULL_G22_NONE_P709);
    videoContext1_->VideoProcessorSetOutputColorSpace1(processor_.Get(), DXGI_COLOR_SPACE_YCBCR_STUDIO_G22_LEFT_P709);
  } else {
    D3D11_VIDEO_PROCESSOR_COLOR_SPACE stream{};
    stream.RGB_Range = 0;     // 0-255
    stream.YCbCr_Matrix = 1;  // BT.709
    vc->VideoProcessorSetStreamColorSpace(processor_.Get(), 0, &stream);
    D3D11_VIDEO_PROCESSOR_COLOR_SPACE out{};
    out.YCbCr_Matrix = 1;
    out.Nominal_Range = D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE_16_235;
    vc->VideoProcessorSetOutputColorSpace(processor_.Get(), &out);
  }
  vc->VideoProcessorSetStreamFrameFormat(processor_.Get(), 0, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
  vc->VideoProcessorSetStreamAutoProcessingMode(processor_.Get(), 0, FALSE);

  const RECT source{0, 0, static_cast<LONG>(w), static_cast<LONG>(h)};
  const RECT target{0, 0, static_cast<LONG>(outputWidth_), static_cast<LONG>(outputHeight_)};
  const PixelRect placed = DestinationRect(w, h, outputWidth_, outputHeight_);
  const RECT destination{placed.left, placed.top, placed.right, placed.bottom};
  vc->VideoProcessorSetStreamSourceRect(processor_.Get(), 0, TRUE, &source);
  vc->VideoProcessorSetStreamDestRect(processor_.Get(), 0, TRUE, &destination);
  vc->VideoProcessorSetOutputTargetRect(processor_.Get(), TRUE, &target);

  // Black bars: Y at the bottom of studio range, neutral chroma.
  D3D11_VIDEO_COLOR black{};
  black.YCbCr.Y = 16.0f / 255.0f;
  black.YCbCr.Cb = 0.5f;
  black.YCbCr.Cr = 0.5f;
  black.YCbCr.A = 1.0f;
  vc->VideoProcessorSetOutputBackgroundColor(processor_.Get(), TRUE, &black);

  Log("composer: %ux%u -> %ux%u NV12", w, h, outputWidth_, outputHeight_);
  return true;
}

bool FrameComposer::Compose(ID3D11Texture2D* desktop, ImageRotation rotation, int32_t originX, int32_t originY,
                            bool showCursor) {
  if (desktop != nullptr) {
    D3D11_TEXTURE2D_DESC desc{};
    desktop->GetDesc(&desc);
    const ImageSize upright = UprightSize(desc.Width, desc.Height, rotation);
    if (!EnsureComposeStage(upright.width, upright.height)) return false;
    if (rotation == ImageRotation::Identity) {
      context_->CopyResource(compose_.Get(), desktop);
    } else if (!rotator_.Turn(desktop, rotation, compose_.Get(), composeTarget_.Get())) {
      return false;
    }
    if (showCursor) DrawCursor(originX, originY);
  } else {
    if (!processor_ && !EnsureComposeStage(outputWidth_, outputHeight_)) return false;
    const float opaqueBlack[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    context_->ClearRenderTargetView(composeTarget_.Get(), opaqueBlack);
  }

  D3D11_VIDEO_PROCESSOR_STREAM stream{};
  stream.Enable = TRUE;
  stream.pInputSurface = inputView_.Get();
  const HRESULT hr = videoContext_->VideoProcessorBlt(processor_.Get(), outputView_.Get(), 0, 1, &stream);
  if (FAILED(hr)) {
    Log("composer: VideoProcessorBlt failed (hr=0x%08lX)", static_cast<unsigned long>(hr));
    return false;
  }
  return true;
}

void FrameComposer::DrawCursor(int32_t originX, int32_t originY) {
  CURSORINFO info{};
  info.cbSize = sizeof(info);
  if (!GetCursorInfo(&info) || (info.flags & CURSOR_SHOWING) == 0 || info.hCursor == nullptr) return;

  const auto handle = reinterpret_cast<uintptr_t>(info.hCursor);
  CursorHotspot hotspot;
  if (const CursorHotspot* cached = hotspots_.Find(handle)) {
    hotspot = *cached;
  } else {
    ICONINFO icon{};
    if (GetIconInfo(info.hCursor, &icon)) {
      hotspot = {static_cast<int32_t>(icon.xHotspot), static_cast<int32_t>(icon.yHotspot)};
      if (icon.hbmMask != nullptr) DeleteObject(icon.hbmMask);
      if (icon.hbmColor != nullptr) DeleteObject(icon.hbmColor);
    }
    hotspots_.Add(handle, hotspot);
  }

  const CursorPlacement place = PlaceCursor(info.ptScreenPos.x, info.ptScreenPos.y, hotspot.x, hotspot.y, originX,
                                            originY, composeWidth_, composeHeight_);
  if (!place.draw) return;

  ComPtr<IDXGISurface1> surface;
  if (FAILED(compose_.As(&surface))) return;
  HDC dc = nullptr;
  if (FAILED(surface->GetDC(FALSE, &dc))) return;  // keep the desktop image underneath
  // Width and height 0: the cursor's own size. GDI handles monochrome,
  // colour and masked cursors alike.
  DrawIconEx(dc, place.x, place.y, info.hCursor, 0, 0, 0, nullptr, DI_NORMAL);
  surface->ReleaseDC(nullptr);
}

}  // namespace kp
