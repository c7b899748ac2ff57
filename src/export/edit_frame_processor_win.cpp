#include "export/edit_frame_processor_win.h"

#include <dxgi1_2.h>
#include <wincodec.h>

#include "app/log.h"
#include "video/d3d11_device_win.h"

namespace kp {

using Microsoft::WRL::ComPtr;

namespace {

// Frame 0 of the image as premultiplied BGRA. Null on any failure.
ComPtr<IWICBitmapSource> DecodeImage(const std::wstring& path) {
  ComPtr<IWICImagingFactory> factory;
  ComPtr<IWICBitmapDecoder> decoder;
  ComPtr<IWICBitmapFrameDecode> frame;
  ComPtr<IWICFormatConverter> converter;
  if (FAILED(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory))) ||
      FAILED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                                &decoder)) ||
      FAILED(decoder->GetFrame(0, &frame)) || FAILED(factory->CreateFormatConverter(&converter)) ||
      FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom))) {
    return nullptr;
  }
  return converter;
}

}  // namespace

std::unique_ptr<D3D11EditFrameProcessor::Bitmap> D3D11EditFrameProcessor::DecodeBitmap(const std::wstring& path) {
  auto bitmap = std::make_unique<Bitmap>();
  const ComPtr<IWICBitmapSource> source = DecodeImage(path);
  if (!source || FAILED(source->GetSize(&bitmap->width, &bitmap->height)) || bitmap->width == 0 ||
      bitmap->height == 0) {
    Log("edit: cannot decode overlay image (%ux%u)", bitmap->width, bitmap->height);
    return nullptr;
  }
  const UINT width = bitmap->width;
  const UINT height = bitmap->height;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = static_cast<LONG>(width);
  info.bmiHeader.biHeight = -static_cast<LONG>(height);  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  bitmap->bitmap = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  const UINT stride = width * 4;
  if (bitmap->bitmap != nullptr && bits != nullptr &&
      SUCCEEDED(source->CopyPixels(nullptr, stride, stride * height, static_cast<BYTE*>(bits)))) {
    bitmap->dc = ::CreateCompatibleDC(nullptr);
  }
  if (bitmap->dc == nullptr) {
    Log("edit: cannot decode overlay image (%ux%u)", width, height);
    return nullptr;
  }
  bitmap->previous = ::SelectObject(bitmap->dc, bitmap->bitmap);
  return bitmap;
}

D3D11EditFrameProcessor::Bitmap::~Bitmap() {
  if (dc != nullptr) {
    ::SelectObject(dc, previous);
    ::DeleteDC(dc);
  }
  if (bitmap != nullptr) ::DeleteObject(bitmap);
}

D3D11EditFrameProcessor::~D3D11EditFrameProcessor() = default;

bool D3D11EditFrameProcessor::Initialize(GpuDevice* device, const SourceRect& crop, uint32_t fps, bool bt709) {
  device_ = reinterpret_cast<ID3D11Device*>(device);
  ComPtr<ID3D11DeviceContext> context;
  device_->GetImmediateContext(&context);
  if (FAILED(device_.As(&videoDevice_)) || FAILED(context.As(&videoContext_))) {
    Log("edit: D3D11 video interfaces unavailable");
    return false;
  }
  crop_ = crop;
  cropWidth_ = crop.Width();
  cropHeight_ = crop.Height();
  fps_ = fps;
  bt709_ = bt709;

  // Render target and shader resource for the processors, GDI-compatible so
  // overlays can be blended straight into it.
  const D3D11_TEXTURE2D_DESC desc =
      TextureDescription(cropWidth_, cropHeight_, DXGI_FORMAT_B8G8R8A8_UNORM,
                         D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE, D3D11_RESOURCE_MISC_GDI_COMPATIBLE);
  if (FAILED(device_->CreateTexture2D(&desc, nullptr, &editFrame_))) {
    Log("edit: failed to create %ux%u frame", cropWidth_, cropHeight_);
    return false;
  }
  return composer_.Initialize(device_.Get(), cropWidth_, cropHeight_, fps_);
}

bool D3D11EditFrameProcessor::AddOverlay(const std::wstring& image, int32_t x, int32_t y, int64_t start,
                                         int64_t end) {
  // Opened and measured now, decoded when its window opens.
  const ComPtr<IWICBitmapSource> source = DecodeImage(image);
  UINT width = 0;
  UINT height = 0;
  if (!source || FAILED(source->GetSize(&width, &height)) || width == 0 || height == 0) {
    Log("edit: cannot read overlay image");
    return false;
  }
  overlays_.Add(image, x, y, start, end);
  return true;
}

void D3D11EditFrameProcessor::ReleaseStage() {
  inputViews_.Clear();
  outputView_.Reset();
  processor_.Reset();
  enumerator_.Reset();
}

bool D3D11EditFrameProcessor::EnsureStage(uint32_t w, uint32_t h) {
  if (processor_ && w == sourceWidth_ && h == sourceHeight_) return true;
  ReleaseStage();
  sourceWidth_ = w;
  sourceHeight_ = h;

  D3D11_VIDEO_PROCESSOR_CONTENT_DESC content{};
  content.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
  content.InputFrameRate = {fps_, 1};
  content.InputWidth = w;
  content.InputHeight = h;
  content.OutputFrameRate = {fps_, 1};
  content.OutputWidth = cropWidth_;
  content.OutputHeight = cropHeight_;
  content.Usage = D3D11_VIDEO_USAGE_OPTIMAL_QUALITY;
  HRESULT hr = videoDevice_->CreateVideoProcessorEnumerator(&content, &enumerator_);
  if (SUCCEEDED(hr)) hr = videoDevice_->CreateVideoProcessor(enumerator_.Get(), 0, &processor_);
  if (SUCCEEDED(hr)) {
    D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC outputDesc{};
    outputDesc.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2D;
    outputDesc.Texture2D.MipSlice = 0;
    hr = videoDevice_->CreateVideoProcessorOutputView(editFrame_.Get(), enumerator_.Get(), &outputDesc,
                                                      &outputView_);
  }
  if (FAILED(hr)) {
    Log("edit: video processor creation failed (hr=0x%08lX)", static_cast<unsigned long>(hr));
    ReleaseStage();
    return false;
  }

  SetColorSpaces();
  ID3D11VideoContext* vc = videoContext_.Get();
  vc->VideoProcessorSetStreamFrameFormat(processor_.Get(), 0, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
  vc->VideoProcessorSetStreamAutoProcessingMode(processor_.Get(), 0, FALSE);
  const RECT source{crop_.left, crop_.top, crop_.right, crop_.bottom};
  const RECT target{0, 0, static_cast<LONG>(cropWidth_), static_cast<LONG>(cropHeight_)};
  vc->VideoProcessorSetStreamSourceRect(processor_.Get(), 0, TRUE, &source);
  vc->VideoProcessorSetStreamDestRect(processor_.Get(), 0, TRUE, &target);
  vc->VideoProcessorSetOutputTargetRect(processor_.Get(), TRUE, &target);

  Log("edit: %ux%u frames, crop (%ld,%ld) %ux%u, %s", w, h, static_cast<long>(crop_.left),
      static_cast<long>(crop_.top), cropWidth_, cropHeight_, bt709_ ? "BT.709" : "BT.601");
  return true;
}

void D3D11EditFrameProcessor::SetColorSpaces() {
  // Studio-range YCbCr of the source's matrix in, full-range RGB out.
  ComPtr<ID3D11VideoContext1> videoContext1;
  if (SUCCEEDED(videoContext_.As(&videoContext1))) {
    videoContext1->VideoProcessorSetStreamColorSpace1(
        processor_.Get(), 0,
        bt709_ ? DXGI_COLOR_SPACE_YCBCR_STUDIO_G22_LEFT_P709 : DXGI_COLOR_SPACE_YCBCR_STUDIO_G22_LEFT_P601);
    videoContext1->VideoProcessorSetOutputColorSpace1(processor_.Get(), DXGI_COLOR_SPACE_RGB_FULL_G22_NONE_P709);
    return;
  }
  D3D11_VIDEO_PROCESSOR_COLOR_SPACE stream{};
  stream.YCbCr_Matrix = bt709_ ? 1 : 0;
  stream.Nominal_Range = D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE_16_235;
  videoContext_->VideoProcessorSetStreamColorSpace(processor_.Get(), 0, &stream);
  D3D11_VIDEO_PROCESSOR_COLOR_SPACE output{};
  output.RGB_Range = 0;  // 0-255
  videoContext_->VideoProcessorSetOutputColorSpace(processor_.Get(), &output);
}

bool D3D11EditFrameProcessor::ProcessFrame(GpuTexture* picture, uint32_t subresource, int64_t time) {
  auto* texture = reinterpret_cast<ID3D11Texture2D*>(picture);
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  if (!EnsureStage(desc.Width, desc.Height)) return false;

  const auto makeView = [this](const void* key, uint32_t slice, ComPtr<ID3D11VideoProcessorInputView>* view) {
    D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC viewDesc{};
    viewDesc.ViewDimension = D3D11_VPIV_DIMENSION_TEXTURE2D;
    viewDesc.Texture2D.MipSlice = 0;
    viewDesc.Texture2D.ArraySlice = slice;
    auto* resource = static_cast<ID3D11Resource*>(static_cast<ID3D11Texture2D*>(const_cast<void*>(key)));
    return SUCCEEDED(videoDevice_->CreateVideoProcessorInputView(resource, enumerator_.Get(), &viewDesc,
                                                                 view->GetAddressOf()));
  };
  ComPtr<ID3D11VideoProcessorInputView>* view = inputViews_.Get(texture, subresource, makeView);
  if (view == nullptr) {
    Log("edit: cannot read decoded frame (input view)");
    return false;
  }

  D3D11_VIDEO_PROCESSOR_STREAM stream{};
  stream.Enable = TRUE;
  stream.pInputSurface = view->Get();
  const HRESULT hr = videoContext_->VideoProcessorBlt(processor_.Get(), outputView_.Get(), 0, 1, &stream);
  if (FAILED(hr)) {
    Log("edit: VideoProcessorBlt failed (hr=0x%08lX)", static_cast<unsigned long>(hr));
    return false;
  }
  if (!overlays_.Update(time, DecodeBitmap)) return false;
  DrawOverlays();
  return composer_.Compose(editFrame_.Get(), 0, 0, /*showCursor=*/false);
}

void D3D11EditFrameProcessor::DrawOverlays() {
  ComPtr<IDXGISurface1> surface;
  HDC dc = nullptr;
  bool failed = false;
  overlays_.ForEachShown([&](const OverlaySpec& overlay, const Bitmap& bitmap) {
    if (failed) return;
    if (dc == nullptr && (FAILED(editFrame_.As(&surface)) || FAILED(surface->GetDC(FALSE, &dc)))) {
      failed = true;  // keep the picture underneath; without a DC the frame goes out bare
      return;
    }
    BLENDFUNCTION blend{};
    blend.BlendOp = AC_SRC_OVER;
    blend.SourceConstantAlpha = 255;
    blend.AlphaFormat = AC_SRC_ALPHA;
    const int w = static_cast<int>(bitmap.width);
    const int h = static_cast<int>(bitmap.height);
    ::GdiAlphaBlend(dc, overlay.x, overlay.y, w, h, bitmap.dc, 0, 0, w, h, blend);
  });
  if (dc != nullptr) surface->ReleaseDC(nullptr);
}

}  // namespace kp
