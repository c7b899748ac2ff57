// A minimal checker for the Windows test programs run under Wine, and the
// helpers the encoder checks share.
#pragma once

#include <windows.h>

#include <d3d11.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kp::wintest {

inline int g_passed = 0;
inline int g_failed = 0;

inline void Check(bool ok, const char* what, const char* file, int line) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAILED %s:%d: %s\n", file, line, what);
  }
}

inline int Finish() {
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}

// Log lines collected through SetLogObserver(&Observe, nullptr).
inline std::vector<std::string> g_lines;
inline void Observe(const char* message, void*) { g_lines.emplace_back(message); }

// Compares two lists of texts, printing both when they differ.
inline bool Same(const char* what, const std::vector<std::string>& got, const std::vector<std::string>& expected) {
  if (got == expected) return true;
  std::printf("%s: differ\n  got:\n", what);
  for (const auto& line : got) std::printf("    %s\n", line.c_str());
  std::printf("  expected:\n");
  for (const auto& line : expected) std::printf("    %s\n", line.c_str());
  return false;
}

// NAL unit types of a length-prefixed payload as digits, e.g. "5"; "?" marks a broken layout.
inline std::string UnitTypes(const std::vector<uint8_t>& data) {
  std::string types;
  size_t pos = 0;
  while (pos + 4 <= data.size()) {
    const size_t length = (size_t{data[pos]} << 24) | (size_t{data[pos + 1]} << 16) | (size_t{data[pos + 2]} << 8) |
                          data[pos + 3];
    pos += 4;
    if (length == 0 || pos + length > data.size()) return "?";
    types += std::to_string(data[pos] & 0x1F);
    pos += length;
  }
  return pos == data.size() ? types : types + "?";
}


// Packets as "<picture index> <unit types>[ K]", e.g. "2 5 K" for an IDR
// picture at start + 2 frames.
template <typename Packets>
std::vector<std::string> Describe(const Packets& packets, int64_t start, int64_t frame) {
  std::vector<std::string> out;
  for (const auto& p : packets) {
    out.push_back(std::to_string((p->pts - start) / frame) + " " + UnitTypes(p->data) + (p->keyframe ? " K" : "") +
                  (p->duration == frame ? "" : " bad duration"));
  }
  return out;
}

// A D3D11 device and a 1280x720 input texture. Wine's D3D11 may lack NV12
// render targets; the encoders under test never read the pixels, so a BGRA
// texture of the same size serves.
inline bool CreateGpu(ID3D11Device** device, ID3D11Texture2D** texture) {
  HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                 D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT, nullptr, 0,
                                 D3D11_SDK_VERSION, device, nullptr, nullptr);
  if (SUCCEEDED(hr)) {
    D3D11_TEXTURE2D_DESC desc = {1280, 720, 1, 1, DXGI_FORMAT_NV12, {1, 0}, D3D11_USAGE_DEFAULT,
                                 D3D11_BIND_RENDER_TARGET, 0, 0};
    hr = (*device)->CreateTexture2D(&desc, nullptr, texture);
    if (FAILED(hr)) {
      desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
      hr = (*device)->CreateTexture2D(&desc, nullptr, texture);
    }
  }
  if (FAILED(hr)) std::printf("no D3D11 device or texture (hr=0x%08lX); is a display available?\n", (unsigned long)hr);
  return SUCCEEDED(hr);
}

}  // namespace kp::wintest

#define KP_CHECK(...) ::kp::wintest::Check(static_cast<bool>(__VA_ARGS__), #__VA_ARGS__, __FILE__, __LINE__)
