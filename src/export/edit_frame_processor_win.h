// The export's edit frame on D3D11: the video processor crops the decoded
// YUV picture and converts it to RGB into a GDI-compatible BGRA texture of
// the crop size, the overlay images whose window covers the picture's time
// are blended into it with GDI per-pixel alpha, and the frame composer turns
// it into the NV12 texture the encoder reads. Every overlay image is opened
// and measured at job start (a bad one fails the job before any work), but
// its pixels are held only while its time window is open (timed_overlays.h):
// decoded with WIC into a premultiplied BGRA memory bitmap on the first
// picture it covers and released on the first one it does not, so a job of
// thousands of timed images holds only the bitmaps and GDI handles of those
// on screen. Export thread only.
#pragma once

#include <windows.h>
#include <d3d11_1.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "export/export_media.h"
#include "export/input_view_cache.h"
#include "export/timed_overlays.h"
#include "video/frame_composer_win.h"

namespace kp {

class D3D11EditFrameProcessor : public EditFrameProcessor {
 public:
  D3D11EditFrameProcessor() = default;
  ~D3D11EditFrameProcessor() override;
  D3D11EditFrameProcessor(const D3D11EditFrameProcessor&) = delete;
  D3D11EditFrameProcessor& operator=(const D3D11EditFrameProcessor&) = delete;

  bool Initialize(GpuDevice* device, const SourceRect& crop, uint32_t fps, bool bt709) override;
  bool AddOverlay(const std::wstring& image, int32_t x, int32_t y, int64_t start, int64_t end) override;
  bool ProcessFrame(GpuTexture* picture, uint32_t subresource, int64_t time) override;
  GpuTexture* OutputTexture() override { return reinterpret_cast<GpuTexture*>(composer_.OutputTexture()); }

 private:
  // A decoded overlay: its DIB section selected into a memory DC.
  struct Bitmap {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    UINT width = 0;
    UINT height = 0;
    ~Bitmap();
  };

  // (Re)builds the video processor for decoded pictures of w x h.
  bool EnsureStage(uint32_t w, uint32_t h);
  void ReleaseStage();
  void SetColorSpaces();
  // Frame 0 of the image as a top-down 32-bit DIB section in a memory DC.
  // Null on any failure, after "edit: cannot decode overlay image (%ux%u)".
  static std::unique_ptr<Bitmap> DecodeBitmap(const std::wstring& path);
  void DrawOverlays();

  Microsoft::WRL::ComPtr<ID3D11Device> device_;
  Microsoft::WRL::ComPtr<ID3D11VideoDevice> videoDevice_;
  Microsoft::WRL::ComPtr<ID3D11VideoContext> videoContext_;
  SourceRect crop_;
  uint32_t cropWidth_ = 0;
  uint32_t cropHeight_ = 0;
  uint32_t fps_ = 0;
  bool bt709_ = true;

  uint32_t sourceWidth_ = 0;
  uint32_t sourceHeight_ = 0;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorEnumerator> enumerator_;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessor> processor_;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorOutputView> outputView_;
  InputViewCache<Microsoft::WRL::ComPtr<ID3D11VideoProcessorInputView>> inputViews_;

  Microsoft::WRL::ComPtr<ID3D11Texture2D> editFrame_;
  FrameComposer composer_;
  TimedOverlays<Bitmap> overlays_;
};

}  // namespace kp
