// The export's Windows media edges on what Wine offers: overlay images
// decoded with WIC into DIB sections, the edit frame processor on a D3D11
// device without video interfaces, the adapter list, and the probe of a
// file that is no video. Argument: a folder holding overlay.png (made by the
// suite's script) in Windows form.
#include <windows.h>

#include <d3d11.h>
#include <wrl/client.h>

#include <algorithm>

#include "app/log.h"
#include "export/edit_frame_processor_win.h"
#include "export/export_media.h"
#include "win_check.h"

namespace {

using namespace kp;
using namespace kp::wintest;
using Microsoft::WRL::ComPtr;

bool Logged(const std::string& line) { return std::find(g_lines.begin(), g_lines.end(), line) != g_lines.end(); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  const std::wstring folder = argv[1];
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  SetLogObserver(&Observe, nullptr);

  {
    D3D11EditFrameProcessor processor;
    g_lines.clear();
    KP_CHECK(!processor.AddOverlay(folder + L"\\missing.png", 0, 0, 0, 10'000'000));
    KP_CHECK(Logged("edit: cannot read overlay image"));
    g_lines.clear();
    KP_CHECK(processor.AddOverlay(folder + L"\\overlay.png", -8, 4, 20'000'000, 50'000'000));
    KP_CHECK(g_lines.empty());
    // The text file is no image WIC knows.
    KP_CHECK(!processor.AddOverlay(folder + L"\\notes.txt", 0, 0, 0, 1));
    KP_CHECK(Logged("edit: cannot read overlay image"));

    ComPtr<ID3D11Device> device;
    const HRESULT hr = ::D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                           D3D11_CREATE_DEVICE_VIDEO_SUPPORT | D3D11_CREATE_DEVICE_BGRA_SUPPORT,
                                           nullptr, 0, D3D11_SDK_VERSION, &device, nullptr, nullptr);
    KP_CHECK(SUCCEEDED(hr));
    if (SUCCEEDED(hr)) {
      g_lines.clear();
      const bool initialized =
          processor.Initialize(reinterpret_cast<GpuDevice*>(device.Get()), SourceRect{0, 0, 64, 32}, 30, true);
      // Wine has no ID3D11VideoDevice; where it has one the processor starts.
      KP_CHECK(initialized || Logged("edit: D3D11 video interfaces unavailable"));
    }
  }  // an overlay holds no bitmap until a picture opens its window

  {
    std::unique_ptr<ExportMedia> media = CreatePlatformExportMedia();
    KP_CHECK(media->Start());
    KP_CHECK(!media->Describe(folder + L"\\notes.txt").has_value());
    KP_CHECK(!media->Describe(folder + L"\\missing.mp4").has_value());
    // The virtual display's adapter, which is no software adapter.
    KP_CHECK(media->AdapterCount() >= 1);
    KP_CHECK(media->OpenVideoSource(media->AdapterCount(), folder + L"\\notes.txt") == nullptr);
    KP_CHECK(media->OpenAudioTrack(folder + L"\\notes.txt", 0) == nullptr);
  }

  SetLogObserver(nullptr, nullptr);
  if (SUCCEEDED(com)) ::CoUninitialize();
  return Finish();
}
