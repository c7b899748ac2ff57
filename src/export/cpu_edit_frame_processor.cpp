#include "export/cpu_edit_frame_processor.h"

#include <optional>

#include "app/log.h"
#include "export/edit_pixels.h"
#include "export/png_overlay_image.h"
#include "video/nv12_frame.h"

namespace kp {

bool CpuEditFrameProcessor::Initialize(GpuDevice* device, const SourceRect& crop, uint32_t fps, bool bt709) {
  if (!device) return false;
  crop_ = crop;
  bt709_ = bt709;
  edit_.Resize(crop.Width(), crop.Height());
  return composer_.Initialize(crop.Width(), crop.Height(), fps);
}

bool CpuEditFrameProcessor::AddOverlay(const std::wstring& image, int32_t x, int32_t y, int64_t start, int64_t end) {
  // Checked now (a bad image fails the job before any work), held later.
  std::optional<BgraImage> decoded = DecodePngOverlay(image);
  if (!decoded || decoded->width == 0 || decoded->height == 0) {
    Log("edit: cannot read overlay image");
    return false;
  }
  overlays_.Add(image, x, y, start, end);
  return true;
}

bool CpuEditFrameProcessor::ProcessFrame(GpuTexture* picture, uint32_t /*subresource*/, int64_t time) {
  const auto* frame = reinterpret_cast<const Nv12Frame*>(picture);
  if (!frame || frame->width == 0 || frame->height == 0) return false;
  if (frame->width != sourceWidth_ || frame->height != sourceHeight_) {
    sourceWidth_ = frame->width;
    sourceHeight_ = frame->height;
    Log("edit: %ux%u frames, crop (%ld,%ld) %ux%u, %s", sourceWidth_, sourceHeight_, static_cast<long>(crop_.left),
        static_cast<long>(crop_.top), crop_.Width(), crop_.Height(), bt709_ ? "BT.709" : "BT.601");
  }
  const bool decoded = overlays_.Update(time, [](const std::wstring& path) -> std::unique_ptr<BgraImage> {
    std::optional<BgraImage> image = DecodePngOverlay(path);
    if (!image || image->width == 0 || image->height == 0) {
      Log("edit: cannot decode overlay image (%ux%u)", image ? image->width : 0u, image ? image->height : 0u);
      return nullptr;
    }
    return std::make_unique<BgraImage>(std::move(*image));
  });
  if (!decoded) return false;
  ConvertNv12ToBgra(*frame, crop_, bt709_, edit_);
  overlays_.ForEachShown([this](const OverlaySpec& overlay, const BgraImage& image) {
    BlendPremultiplied(image, overlay.x, overlay.y, edit_);
  });
  return composer_.Compose(&edit_, 0, 0, /*showCursor=*/false, SimCursor{});
}

}  // namespace kp
