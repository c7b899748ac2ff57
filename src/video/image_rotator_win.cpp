#include "video/image_rotator_win.h"

#include <d3dcompiler.h>

#include <cstdint>
#include <cstring>

#include "app/log.h"

namespace kp {

using Microsoft::WRL::ComPtr;

namespace {

// A full-screen triangle from the vertex index; each upright pixel reads its
// delivered pixel through the affine map in `turn` (integer coordinates).
constexpr char kShaderSource[] = R"(
Texture2D<float4> source : register(t0);
cbuffer Turn : register(b0) { int4 column; int4 row; };
float4 FullScreen(uint id : SV_VertexID) : SV_Position {
  float2 corner = float2((id << 1) & 2, id & 2);
  return float4(corner * float2(2, -2) + float2(-1, 1), 0, 1);
}
float4 Upright(float4 position : SV_Position) : SV_Target {
  int2 p = int2(position.xy);
  int2 from = int2(column.x * p.x + column.y * p.y + column.z, row.x * p.x + row.y * p.y + row.z);
  return float4(source.Load(int3(from, 0)).rgb, 1);
}
)";

// The delivered pixel of upright (x, y) is (column . (x, y, 1), row . (x, y, 1)).
struct TurnMapping {
  int32_t column[4];
  int32_t row[4];
};

TurnMapping MappingFor(ImageRotation rotation, UINT width, UINT height) {
  const PixelPoint origin = DeliveredPixel(0, 0, width, height, rotation);
  const PixelPoint right = DeliveredPixel(1, 0, width, height, rotation);
  const PixelPoint down = DeliveredPixel(0, 1, width, height, rotation);
  return {{right.x - origin.x, down.x - origin.x, origin.x, 0}, {right.y - origin.y, down.y - origin.y, origin.y, 0}};
}

D3D11_VIDEO_PROCESSOR_ROTATION ProcessorRotation(ImageRotation rotation) {
  switch (rotation) {
    case ImageRotation::Rotate90:
      return D3D11_VIDEO_PROCESSOR_ROTATION_90;
    case ImageRotation::Rotate180:
      return D3D11_VIDEO_PROCESSOR_ROTATION_180;
    case ImageRotation::Rotate270:
      return D3D11_VIDEO_PROCESSOR_ROTATION_270;
    case ImageRotation::Identity:
      break;
  }
  return D3D11_VIDEO_PROCESSOR_ROTATION_IDENTITY;
}

}  // namespace

ImageRotator::~ImageRotator() {
  if (compiler_ != nullptr) FreeLibrary(compiler_);
}

void ImageRotator::Initialize(ID3D11Device* device, ID3D11VideoDevice* videoDevice, ID3D11VideoContext* videoContext) {
  device_ = device;
  device_->GetImmediateContext(context_.ReleaseAndGetAddressOf());
  videoDevice_ = videoDevice;
  videoContext_ = videoContext;
}

bool ImageRotator::EnsureProcessor(const D3D11_TEXTURE2D_DESC& source, const D3D11_TEXTURE2D_DESC& target) {
  if (processorTried_ && processorIn_[0] == source.Width && processorIn_[1] == source.Height &&
      processorOut_[0] == target.Width && processorOut_[1] == target.Height) {
    return processorWorks_;
  }
  processorTried_ = true;
  processorWorks_ = false;
  processorIn_[0] = source.Width;
  processorIn_[1] = source.Height;
  processorOut_[0] = target.Width;
  processorOut_[1] = target.Height;
  processor_.Reset();
  enumerator_.Reset();
  viewSource_.Reset();
  viewTarget_.Reset();
  if (!videoDevice_ || !videoContext_) return false;

  D3D11_VIDEO_PROCESSOR_CONTENT_DESC content{};
  content.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
  content.InputFrameRate = {60, 1};
  content.InputWidth = source.Width;
  content.InputHeight = source.Height;
  content.OutputFrameRate = {60, 1};
  content.OutputWidth = target.Width;
  content.OutputHeight = target.Height;
  content.Usage = D3D11_VIDEO_USAGE_OPTIMAL_QUALITY;
  if (FAILED(videoDevice_->CreateVideoProcessorEnumerator(&content, enumerator_.ReleaseAndGetAddressOf()))) return false;
  D3D11_VIDEO_PROCESSOR_CAPS caps{};
  UINT inputFlags = 0, outputFlags = 0;
  if (FAILED(enumerator_->GetVideoProcessorCaps(&caps)) ||
      (caps.FeatureCaps & D3D11_VIDEO_PROCESSOR_FEATURE_CAPS_ROTATION) == 0 ||
      FAILED(enumerator_->CheckVideoProcessorFormat(source.Format, &inputFlags)) ||
      (inputFlags & D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_INPUT) == 0 ||
      FAILED(enumerator_->CheckVideoProcessorFormat(target.Format, &outputFlags)) ||
      (outputFlags & D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT) == 0 ||
      FAILED(videoDevice_->CreateVideoProcessor(enumerator_.Get(), 0, processor_.ReleaseAndGetAddressOf()))) {
    enumerator_.Reset();
    processor_.Reset();
    return false;
  }
  ID3D11VideoContext* vc = videoContext_.Get();
  // RGB in, RGB out at full range: no colour conversion, only the turn.
  D3D11_VIDEO_PROCESSOR_COLOR_SPACE rgb{};
  rgb.RGB_Range = 0;
  vc->VideoProcessorSetStreamColorSpace(processor_.Get(), 0, &rgb);
  vc->VideoProcessorSetOutputColorSpace(processor_.Get(), &rgb);
  vc->VideoProcessorSetStreamFrameFormat(processor_.Get(), 0, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
  vc->VideoProcessorSetStreamAutoProcessingMode(processor_.Get(), 0, FALSE);
  const RECT in{0, 0, static_cast<LONG>(source.Width), static_cast<LONG>(source.Height)};
  const RECT out{0, 0, static_cast<LONG>(target.Width), static_cast<LONG>(target.Height)};
  vc->VideoProcessorSetStreamSourceRect(processor_.Get(), 0, TRUE, &in);
  vc->VideoProcessorSetStreamDestRect(processor_.Get(), 0, TRUE, &out);
  vc->VideoProcessorSetOutputTargetRect(processor_.Get(), TRUE, &out);
  processorWorks_ = true;
  Log("composer: turning the desktop upright with the video processor");
  return true;
}

bool ImageRotator::TurnWithProcessor(ID3D11Texture2D* source, ImageRotation rotation, ID3D11Texture2D* target,
                                     const D3D11_TEXTURE2D_DESC& sourceDesc, const D3D11_TEXTURE2D_DESC& targetDesc) {
  if (!EnsureProcessor(sourceDesc, targetDesc)) return false;
  if (viewSource_.Get() != source || viewTarget_.Get() != target) {
    D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC inputDesc{};
    inputDesc.ViewDimension = D3D11_VPIV_DIMENSION_TEXTURE2D;
    D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC outputDesc{};
    outputDesc.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2D;
    if (FAILED(videoDevice_->CreateVideoProcessorInputView(source, enumerator_.Get(), &inputDesc,
                                                           inputView_.ReleaseAndGetAddressOf())) ||
        FAILED(videoDevice_->CreateVideoProcessorOutputView(target, enumerator_.Get(), &outputDesc,
                                                            outputView_.ReleaseAndGetAddressOf()))) {
      processorWorks_ = false;  // for these sizes: the shader takes over
      return false;
    }
    viewSource_ = source;
    viewTarget_ = target;
  }
  videoContext_->VideoProcessorSetStreamRotation(processor_.Get(), 0, TRUE, ProcessorRotation(rotation));
  D3D11_VIDEO_PROCESSOR_STREAM stream{};
  stream.Enable = TRUE;
  stream.pInputSurface = inputView_.Get();
  if (FAILED(videoContext_->VideoProcessorBlt(processor_.Get(), outputView_.Get(), 0, 1, &stream))) {
    processorWorks_ = false;
    return false;
  }
  return true;
}

bool ImageRotator::EnsureShaders() {
  if (shadersTried_) return pixelShader_ != nullptr;
  shadersTried_ = true;
  // The system's compiler, never a copy planted beside the program.
  compiler_ = LoadLibraryExW(L"d3dcompiler_47.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const auto compile = compiler_ == nullptr ? nullptr
                                            : reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(
                                                  GetProcAddress(compiler_, "D3DCompile")));
  if (compile == nullptr) {
    Log("composer: d3dcompiler_47.dll not available");
    return false;
  }
  ComPtr<ID3DBlob> vertexCode, pixelCode, errors;
  HRESULT hr = compile(kShaderSource, sizeof kShaderSource - 1, "upright", nullptr, nullptr, "FullScreen", "vs_4_0", 0,
                       0, &vertexCode, &errors);
  if (SUCCEEDED(hr)) {
    hr = compile(kShaderSource, sizeof kShaderSource - 1, "upright", nullptr, nullptr, "Upright", "ps_4_0", 0, 0,
                 &pixelCode, errors.ReleaseAndGetAddressOf());
  }
  if (SUCCEEDED(hr)) {
    hr = device_->CreateVertexShader(vertexCode->GetBufferPointer(), vertexCode->GetBufferSize(), nullptr,
                                     vertexShader_.ReleaseAndGetAddressOf());
  }
  if (SUCCEEDED(hr)) {
    hr = device_->CreatePixelShader(pixelCode->GetBufferPointer(), pixelCode->GetBufferSize(), nullptr,
                                    pixelShader_.ReleaseAndGetAddressOf());
  }
  if (SUCCEEDED(hr)) {
    D3D11_BUFFER_DESC buffer{};
    buffer.ByteWidth = sizeof(TurnMapping);
    buffer.Usage = D3D11_USAGE_DEFAULT;
    buffer.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    hr = device_->CreateBuffer(&buffer, nullptr, mapping_.ReleaseAndGetAddressOf());
  }
  if (FAILED(hr)) {
    Log("composer: upright pass unavailable (hr=0x%08lX)", static_cast<unsigned long>(hr));
    pixelShader_.Reset();
    return false;
  }
  Log("composer: turning the desktop upright with a shader");
  return true;
}

bool ImageRotator::TurnWithShader(ID3D11Texture2D* source, ImageRotation rotation, ID3D11RenderTargetView* targetView,
                                  const D3D11_TEXTURE2D_DESC& sourceDesc, const D3D11_TEXTURE2D_DESC& targetDesc) {
  if (!EnsureShaders()) return false;
  if (resourceSource_.Get() != source) {
    if (FAILED(device_->CreateShaderResourceView(source, nullptr, sourceView_.ReleaseAndGetAddressOf()))) return false;
    resourceSource_ = source;
  }
  const TurnMapping mapping = MappingFor(rotation, sourceDesc.Width, sourceDesc.Height);
  context_->UpdateSubresource(mapping_.Get(), 0, nullptr, &mapping, 0, 0);

  D3D11_VIEWPORT viewport{};
  viewport.Width = static_cast<float>(targetDesc.Width);
  viewport.Height = static_cast<float>(targetDesc.Height);
  viewport.MaxDepth = 1.0f;
  ID3D11DeviceContext* c = context_.Get();
  c->IASetInputLayout(nullptr);
  c->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
  c->VSSetShader(vertexShader_.Get(), nullptr, 0);
  c->PSSetShader(pixelShader_.Get(), nullptr, 0);
  ID3D11ShaderResourceView* views[] = {sourceView_.Get()};
  c->PSSetShaderResources(0, 1, views);
  ID3D11Buffer* buffers[] = {mapping_.Get()};
  c->PSSetConstantBuffers(0, 1, buffers);
  c->RSSetState(nullptr);
  c->RSSetViewports(1, &viewport);
  c->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFF);
  c->OMSetRenderTargets(1, &targetView, nullptr);
  c->Draw(3, 0);
  // Unbound again: the capture copies into the source and GDI draws the
  // cursor into the target next.
  ID3D11ShaderResourceView* none[] = {nullptr};
  c->PSSetShaderResources(0, 1, none);
  c->OMSetRenderTargets(0, nullptr, nullptr);
  return true;
}

bool ImageRotator::Turn(ID3D11Texture2D* source, ImageRotation rotation, ID3D11Texture2D* target,
                        ID3D11RenderTargetView* targetView) {
  D3D11_TEXTURE2D_DESC sourceDesc{}, targetDesc{};
  source->GetDesc(&sourceDesc);
  target->GetDesc(&targetDesc);
  if (TurnWithProcessor(source, rotation, target, sourceDesc, targetDesc)) return true;
  if (TurnWithShader(source, rotation, targetView, sourceDesc, targetDesc)) return true;
  if (!failureReported_) {
    Log("composer: can't turn the rotated desktop upright");
    failureReported_ = true;
  }
  return false;
}

}  // namespace kp
