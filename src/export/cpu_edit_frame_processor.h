// The edit frame processor of the Linux build: the decoded CPU NV12 picture
// is cropped and converted to full-range BGRA (BT.709 or BT.601 matrix,
// limited range in), the overlays whose window covers the picture's source
// time are drawn over it with premultiplied alpha, clipped at the edges,
// and the frame composer of the Linux video chain (SimComposer) turns the
// result into the NV12 frame the encoder reads, as the GPU composer does on
// Windows. Overlay images are PNG files (png_overlay_image.h), checked when
// added and decoded only while their window is open (timed_overlays.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "export/export_media.h"
#include "export/timed_overlays.h"
#include "video/bgra_image.h"
#include "video/sim_composer.h"

namespace kp {

class CpuEditFrameProcessor : public EditFrameProcessor {
 public:
  bool Initialize(GpuDevice* device, const SourceRect& crop, uint32_t fps, bool bt709) override;
  bool AddOverlay(const std::wstring& image, int32_t x, int32_t y, int64_t start, int64_t end) override;
  // `picture` is the Nv12Frame* a FfmpegVideoSource hands out.
  bool ProcessFrame(GpuTexture* picture, uint32_t subresource, int64_t time) override;
  GpuTexture* OutputTexture() override { return reinterpret_cast<GpuTexture*>(&composer_.Output()); }

 private:
  SourceRect crop_;
  bool bt709_ = true;
  uint32_t sourceWidth_ = 0;  // the picture size the stage line was logged for
  uint32_t sourceHeight_ = 0;
  BgraImage edit_;
  SimComposer composer_;
  TimedOverlays<BgraImage> overlays_;  // premultiplied
};

}  // namespace kp
