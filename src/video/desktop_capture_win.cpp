#include "video/desktop_capture_win.h"

#include <windows.h>

#include <vector>

#include "app/log.h"
#include "platform/clock.h"
#include "video/d3d11_device_win.h"
#include "video/output_selector.h"

namespace kp {

using Microsoft::WRL::ComPtr;

bool FindOutput(const std::wstring& monitor, FoundOutput* found) {
  ComPtr<IDXGIFactory1> factory;
  if (FAILED(CreateDXGIFactory1(IID_PPV_ARGS(&factory)))) return false;

  const OutputSelector selector(monitor);
  const HMONITOR primary = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
  FoundOutput candidate;
  ComPtr<IDXGIAdapter1> adapter;
  // Any enumeration failure ends the walk like "not found" does, so a
  // misbehaving driver cannot keep it going.
  for (UINT a = 0; SUCCEEDED(factory->EnumAdapters1(a, adapter.ReleaseAndGetAddressOf())); ++a) {
    ComPtr<IDXGIOutput> output;
    for (UINT o = 0; SUCCEEDED(adapter->EnumOutputs(o, output.ReleaseAndGetAddressOf())); ++o) {
      DXGI_OUTPUT_DESC desc{};
      if (FAILED(output->GetDesc(&desc)) || !desc.AttachedToDesktop) continue;
      ComPtr<IDXGIOutput1> output1;
      if (FAILED(output.As(&output1))) continue;
      switch (selector.Offer(desc.DeviceName, desc.Monitor == primary)) {
        case OutputOffer::Chosen:
          *found = {adapter, output1};
          return true;
        case OutputOffer::PrimaryCandidate:
          candidate = {adapter, output1};
          break;
        case OutputOffer::Other:
          break;
      }
    }
  }
  if (!candidate.output) return false;
  *found = std::move(candidate);
  return true;
}

DesktopCapture::DesktopCapture() : poller_(*this, SystemClock()) {}

DesktopCapture::~DesktopCapture() {
  ReleaseFrame();
  ReleaseDuplication();
}

bool DesktopCapture::Open(ID3D11Device* device, const PipelineConfig& config) {
  device_ = device;
  device_->GetImmediateContext(context_.ReleaseAndGetAddressOf());
  monitor_ = config.monitor;
  DXGI_ADAPTER_DESC description{};
  if (!GetAdapterDescription(device_.Get(), &description)) return false;
  adapterLuid_ = description.AdapterLuid;
  poller_.Start();
  return true;
}

bool DesktopCapture::DeviceRemoved() { return FAILED(device_->GetDeviceRemovedReason()); }

namespace {

ImageRotation FromDxgi(DXGI_MODE_ROTATION rotation) {
  switch (rotation) {
    case DXGI_MODE_ROTATION_ROTATE90:
      return ImageRotation::Rotate90;
    case DXGI_MODE_ROTATION_ROTATE180:
      return ImageRotation::Rotate180;
    case DXGI_MODE_ROTATION_ROTATE270:
      return ImageRotation::Rotate270;
    default:
      return ImageRotation::Identity;
  }
}

void LogDuplicationFailure(HRESULT hr) {
  Log("capture: duplication failed (hr=0x%08lX)", static_cast<unsigned long>(hr));
}

}  // namespace

DuplicationOpen DesktopCapture::OpenDuplication(DuplicatedOutput* result) {
  FoundOutput found;
  if (!FindOutput(monitor_, &found)) return DuplicationOpen::Failed;

  DXGI_ADAPTER_DESC1 adapterDesc{};
  if (FAILED(found.adapter->GetDesc1(&adapterDesc))) return DuplicationOpen::Failed;
  if (adapterDesc.AdapterLuid.LowPart != adapterLuid_.LowPart ||
      adapterDesc.AdapterLuid.HighPart != adapterLuid_.HighPart) {
    return DuplicationOpen::OtherAdapter;
  }

  // An explicit format list makes the duplication deliver BGRA whatever the
  // desktop's own format is. DuplicateOutput1 refuses a process that is not
  // per-monitor DPI aware (a compatibility setting on the exe); the older
  // call still works there.
  bool opened = false;
  ComPtr<IDXGIOutput5> output5;
  if (SUCCEEDED(found.output.As(&output5))) {
    const DXGI_FORMAT formats[] = {DXGI_FORMAT_B8G8R8A8_UNORM};
    const HRESULT hr = output5->DuplicateOutput1(device_.Get(), 0, 1, formats, duplication_.ReleaseAndGetAddressOf());
    opened = SUCCEEDED(hr);
    if (!opened) LogDuplicationFailure(hr);
  }
  if (!opened) {
    const HRESULT hr = found.output->DuplicateOutput(device_.Get(), duplication_.ReleaseAndGetAddressOf());
    if (FAILED(hr)) {
      LogDuplicationFailure(hr);
      duplication_.Reset();
      return DuplicationOpen::Failed;
    }
  }

  DXGI_OUTDUPL_DESC duplicationDesc{};
  duplication_->GetDesc(&duplicationDesc);
  DXGI_OUTPUT_DESC desc{};
  found.output->GetDesc(&desc);
  result->deviceName = desc.DeviceName;
  result->left = desc.DesktopCoordinates.left;
  result->top = desc.DesktopCoordinates.top;
  result->width = desc.DesktopCoordinates.right - desc.DesktopCoordinates.left;
  result->height = desc.DesktopCoordinates.bottom - desc.DesktopCoordinates.top;
  result->rotation = FromDxgi(duplicationDesc.Rotation);
  return DuplicationOpen::Opened;
}

bool DesktopCapture::QueryPointer(PointerPosition* position) {
  CURSORINFO info{};
  info.cbSize = sizeof(info);
  if (!GetCursorInfo(&info)) return false;
  *position = {info.ptScreenPos.x, info.ptScreenPos.y};
  return true;
}

void DesktopCapture::ReleaseDuplication() { duplication_.Reset(); }

uint32_t DesktopCapture::AcquireNextFrame(bool* desktopChanged) {
  DXGI_OUTDUPL_FRAME_INFO info{};
  const HRESULT hr = duplication_->AcquireNextFrame(0, &info, heldFrame_.ReleaseAndGetAddressOf());
  *desktopChanged = info.LastPresentTime.QuadPart != 0;
  return static_cast<uint32_t>(hr);
}

bool DesktopCapture::CopyFrame() {
  ComPtr<ID3D11Texture2D> frame;
  if (!heldFrame_ || FAILED(heldFrame_.As(&frame))) return false;
  D3D11_TEXTURE2D_DESC desc{};
  frame->GetDesc(&desc);
  if (!EnsureCaptureTexture(desc.Width, desc.Height, desc.Format)) return false;
  context_->CopyResource(captureTexture_.Get(), frame.Get());
  return true;
}

void DesktopCapture::ReleaseFrame() {
  if (!heldFrame_) return;
  heldFrame_.Reset();
  if (duplication_) duplication_->ReleaseFrame();
}

bool DesktopCapture::EnsureCaptureTexture(UINT width, UINT height, DXGI_FORMAT format) {
  if (captureTexture_) {
    D3D11_TEXTURE2D_DESC current{};
    captureTexture_->GetDesc(&current);
    if (current.Width == width && current.Height == height && current.Format == format) return true;
    captureTexture_.Reset();
  }
  const D3D11_TEXTURE2D_DESC desc = TextureDescription(width, height, format, D3D11_BIND_SHADER_RESOURCE);
  return SUCCEEDED(device_->CreateTexture2D(&desc, nullptr, captureTexture_.ReleaseAndGetAddressOf()));
}

bool DesktopCapture::SnapshotDesktop(const DuplicatedOutput& output) {
  if (output.width <= 0 || output.height <= 0) return false;
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return false;
  HDC memory = CreateCompatibleDC(screen);

  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = output.width;
  info.bmiHeader.biHeight = -output.height;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = memory ? CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;

  bool ok = false;
  if (bitmap != nullptr && bits != nullptr) {
    HGDIOBJ previous = SelectObject(memory, bitmap);
    const bool copied =
        BitBlt(memory, 0, 0, output.width, output.height, screen, output.left, output.top, SRCCOPY) != FALSE;
    GdiFlush();
    SelectObject(memory, previous);
    if (copied) {
      // GDI leaves the alpha byte undefined; the image is opaque.
      auto* pixels = static_cast<uint32_t*>(bits);
      const size_t count = static_cast<size_t>(output.width) * static_cast<size_t>(output.height);
      for (size_t i = 0; i < count; ++i) pixels[i] |= 0xFF000000u;
      if (EnsureCaptureTexture(static_cast<UINT>(output.width), static_cast<UINT>(output.height),
                               DXGI_FORMAT_B8G8R8A8_UNORM)) {
        context_->UpdateSubresource(captureTexture_.Get(), 0, nullptr, bits, static_cast<UINT>(output.width) * 4, 0);
        ok = true;
      }
    }
  }
  if (bitmap != nullptr) DeleteObject(bitmap);
  if (memory != nullptr) DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok;
}

}  // namespace kp
