// The upright pass of a rotated monitor's image on Wine's D3D11 device, which
// has no video device, so the shader pass (compiled at run time by
// d3dcompiler_47.dll) does the turn: for each rotation a 6x4 image of
// distinct pixels comes out as the portable rule DeliveredPixel says.
#include <windows.h>

#include <d3d11.h>
#include <wrl/client.h>

#include <cstdint>
#include <vector>

#include "app/log.h"
#include "video/d3d11_device_win.h"
#include "video/image_rotator_win.h"
#include "win_check.h"

namespace {

using namespace kp;
using namespace kp::wintest;
using Microsoft::WRL::ComPtr;

constexpr UINT kWidth = 6, kHeight = 4;

uint32_t Pixel(UINT x, UINT y) { return 0xFF000000u | ((x * 40u) << 16) | ((y * 60u) << 8) | (x + y * kWidth); }

// The pixels of `texture` (BGRA, w x h), read back through a staging copy.
std::vector<uint32_t> ReadBack(ID3D11Device* device, ID3D11Texture2D* texture, UINT w, UINT h) {
  D3D11_TEXTURE2D_DESC desc = TextureDescription(w, h, DXGI_FORMAT_B8G8R8A8_UNORM, 0);
  desc.Usage = D3D11_USAGE_STAGING;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  ComPtr<ID3D11Texture2D> staging;
  ComPtr<ID3D11DeviceContext> context;
  device->GetImmediateContext(&context);
  std::vector<uint32_t> pixels;
  if (FAILED(device->CreateTexture2D(&desc, nullptr, &staging))) return pixels;
  context->CopyResource(staging.Get(), texture);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (FAILED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return pixels;
  for (UINT y = 0; y < h; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(mapped.pData) + y * mapped.RowPitch);
    pixels.insert(pixels.end(), row, row + w);
  }
  context->Unmap(staging.Get(), 0);
  return pixels;
}

void CheckTurns(ID3D11Device* device) {
  std::vector<uint32_t> delivered;
  for (UINT y = 0; y < kHeight; ++y) {
    for (UINT x = 0; x < kWidth; ++x) delivered.push_back(Pixel(x, y));
  }
  const D3D11_TEXTURE2D_DESC sourceDesc =
      TextureDescription(kWidth, kHeight, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
  const D3D11_SUBRESOURCE_DATA data{delivered.data(), kWidth * 4, 0};
  ComPtr<ID3D11Texture2D> source;
  KP_CHECK(SUCCEEDED(device->CreateTexture2D(&sourceDesc, &data, &source)));
  if (!source) return;

  ImageRotator rotator;
  rotator.Initialize(device, nullptr, nullptr);  // no video device: the shader pass
  for (const ImageRotation rotation : {ImageRotation::Rotate90, ImageRotation::Rotate180, ImageRotation::Rotate270}) {
    const ImageSize upright = UprightSize(kWidth, kHeight, rotation);
    const D3D11_TEXTURE2D_DESC targetDesc =
        TextureDescription(upright.width, upright.height, DXGI_FORMAT_B8G8R8A8_UNORM,
                           D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE, D3D11_RESOURCE_MISC_GDI_COMPATIBLE);
    ComPtr<ID3D11Texture2D> target;
    ComPtr<ID3D11RenderTargetView> view;
    KP_CHECK(SUCCEEDED(device->CreateTexture2D(&targetDesc, nullptr, &target)) &&
             SUCCEEDED(device->CreateRenderTargetView(target.Get(), nullptr, &view)));
    if (!view) continue;
    KP_CHECK(rotator.Turn(source.Get(), rotation, target.Get(), view.Get()));
    const std::vector<uint32_t> got = ReadBack(device, target.Get(), upright.width, upright.height);
    std::vector<uint32_t> expected;
    for (UINT y = 0; y < upright.height; ++y) {
      for (UINT x = 0; x < upright.width; ++x) {
        const PixelPoint from = DeliveredPixel(static_cast<int32_t>(x), static_cast<int32_t>(y), kWidth, kHeight, rotation);
        expected.push_back(Pixel(static_cast<UINT>(from.x), static_cast<UINT>(from.y)));
      }
    }
    if (got != expected) std::printf("rotation %d: the upright image differs\n", static_cast<int>(rotation));
    KP_CHECK(got == expected);
  }
  KP_CHECK(Same("rotation: lines", g_lines, {"composer: turning the desktop upright with a shader"}));
}

}  // namespace

int wmain() {
  SetLogObserver(&Observe, nullptr);
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11Texture2D> unused;
  KP_CHECK(CreateGpu(&device, &unused));
  if (device) CheckTurns(device.Get());
  SetLogObserver(nullptr, nullptr);
  return Finish();
}
