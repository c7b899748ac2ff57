#include "export/mf_video_source_win.h"

#include <d3d10.h>
#include <mfapi.h>
#include <mferror.h>

#include "app/log.h"
#include "export/mf_source_reader_win.h"
#include "export/nv12_upload.h"
#include "platform/media_foundation_win.h"
#include "video/d3d11_device_win.h"

namespace kp {

using Microsoft::WRL::ComPtr;

namespace {

// The input's first video stream, by the reader's native types.
bool FirstVideoStream(IMFSourceReader* reader, uint32_t* stream) {
  bool found = false;
  DiscoverStreams([&](uint32_t index) {
    if (found) return StreamAnswer::NoStream;
    ComPtr<IMFMediaType> type;
    const HRESULT hr = reader->GetNativeMediaType(index, 0, &type);
    if (hr == MF_E_INVALIDSTREAMNUMBER) return StreamAnswer::NoStream;
    GUID major{};
    if (FAILED(hr) || FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major))) return StreamAnswer::Unreadable;
    if (major == MFMediaType_Video) {
      *stream = index;
      found = true;
    }
    return StreamAnswer::Found;
  });
  return found;
}

}  // namespace

std::unique_ptr<VideoSource> MfVideoSource::Open(IDXGIAdapter1* adapter, const std::wstring& input) {
  std::unique_ptr<MfVideoSource> source(new MfVideoSource());
  if (!source->Start(adapter, input)) return nullptr;
  return source;
}

bool MfVideoSource::Start(IDXGIAdapter1* adapter, const std::wstring& input) {
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
  if (FAILED(::D3D11CreateDevice(adapter, D3D_DRIVER_TYPE_UNKNOWN, nullptr,
                                 D3D11_CREATE_DEVICE_VIDEO_SUPPORT | D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels,
                                 ARRAYSIZE(levels), D3D11_SDK_VERSION, &device_, nullptr, &context_))) {
    return false;
  }
  // The decoder works on the device from Media Foundation's own threads.
  ComPtr<ID3D10Multithread> multithread;
  if (SUCCEEDED(device_.As(&multithread))) multithread->SetMultithreadProtected(TRUE);

  UINT token = 0;
  if (FAILED(mf::CreateDXGIDeviceManager(&token, &manager_)) || FAILED(manager_->ResetDevice(device_.Get(), token))) {
    return false;
  }
  ComPtr<IMFAttributes> attributes;
  if (FAILED(mf::CreateAttributes(&attributes, 2)) ||
      FAILED(attributes->SetUnknown(MF_SOURCE_READER_D3D_MANAGER, manager_.Get())) ||
      FAILED(attributes->SetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, TRUE))) {
    return false;
  }
  reader_ = OpenSourceReader(input, attributes.Get());
  if (!reader_ || !FirstVideoStream(reader_.Get(), &stream_) || !SelectOnlyStream(reader_.Get(), stream_)) {
    return false;
  }

  ComPtr<IMFMediaType> nv12;
  HRESULT hr = mf::CreateMediaType(&nv12);
  if (SUCCEEDED(hr)) hr = nv12->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = nv12->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  if (SUCCEEDED(hr)) hr = reader_->SetCurrentMediaType(stream_, nullptr, nv12.Get());
  if (FAILED(hr)) {
    Log("export: no decoder for this video");
    return false;
  }
  ComPtr<IMFMediaType> current;
  return SUCCEEDED(reader_->GetCurrentMediaType(stream_, &current)) &&
         ReadFrameSize(current.Get(), &width_, &height_);
}

void MfVideoSource::Seek(int64_t time) { SeekSourceReader(reader_.Get(), time); }

ReadStatus MfVideoSource::Read(DecodedPicture* picture) {
  texture_.Reset();
  int64_t time = 0;
  bool typeChanged = false;
  const ReadStatus status = ReadSourceSample(reader_.Get(), stream_, &sample_, &time, &typeChanged);
  if (typeChanged) {
    ComPtr<IMFMediaType> current;
    if (SUCCEEDED(reader_->GetCurrentMediaType(stream_, &current))) ReadFrameSize(current.Get(), &width_, &height_);
  }
  if (status != ReadStatus::Sample) return status;

  picture->time = time;
  LONGLONG duration = 0;
  picture->duration = SUCCEEDED(sample_->GetSampleDuration(&duration)) ? duration : 0;
  ID3D11Texture2D* texture = nullptr;
  uint32_t subresource = 0;
  if (Picture(sample_.Get(), &texture, &subresource)) {
    picture->texture = reinterpret_cast<GpuTexture*>(texture);
    picture->subresource = subresource;
  }
  return ReadStatus::Sample;
}

bool MfVideoSource::Picture(IMFSample* sample, ID3D11Texture2D** texture, uint32_t* subresource) {
  ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(sample->GetBufferByIndex(0, &buffer))) return false;
  ComPtr<IMFDXGIBuffer> gpuBuffer;
  UINT index = 0;
  if (SUCCEEDED(buffer.As(&gpuBuffer)) &&
      SUCCEEDED(gpuBuffer->GetResource(IID_PPV_ARGS(texture_.ReleaseAndGetAddressOf()))) &&
      SUCCEEDED(gpuBuffer->GetSubresourceIndex(&index))) {
    *texture = texture_.Get();
    *subresource = index;
    return true;
  }
  texture_.Reset();
  *texture = UploadSoftwareFrame(buffer.Get());
  *subresource = 0;
  return *texture != nullptr;
}

ID3D11Texture2D* MfVideoSource::UploadSoftwareFrame(IMFMediaBuffer* buffer) {
  if (!upload_ || uploadWidth_ != width_ || uploadHeight_ != height_) {
    Log("export: video is decoded in software");
    staging_.Reset();
    upload_.Reset();
    D3D11_TEXTURE2D_DESC desc = TextureDescription(width_, height_, DXGI_FORMAT_NV12, 0);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    const D3D11_TEXTURE2D_DESC gpuDesc =
        TextureDescription(width_, height_, DXGI_FORMAT_NV12, D3D11_BIND_SHADER_RESOURCE);
    if (FAILED(device_->CreateTexture2D(&desc, nullptr, &staging_)) ||
        FAILED(device_->CreateTexture2D(&gpuDesc, nullptr, &upload_))) {
      staging_.Reset();
      upload_.Reset();
      return nullptr;
    }
    uploadWidth_ = width_;
    uploadHeight_ = height_;
  }

  Nv12Source source;
  ComPtr<IMF2DBuffer> buffer2d;
  bool locked2d = false;
  if (SUCCEEDED(buffer->QueryInterface(IID_PPV_ARGS(&buffer2d)))) {
    BYTE* firstRow = nullptr;
    LONG pitch = 0;
    if (FAILED(buffer2d->Lock2D(&firstRow, &pitch))) return nullptr;
    locked2d = true;
    source.firstRow = firstRow;
    source.pitch = pitch > 0 ? static_cast<size_t>(pitch) : 0;
    // A 2-D buffer does not report its length; it holds a whole picture.
    source.length = Nv12SourceBytes(width_, height_, source.pitch);
  } else {
    BYTE* data = nullptr;
    DWORD length = 0;
    if (FAILED(buffer->Lock(&data, nullptr, &length))) return nullptr;
    source.firstRow = data;
    source.pitch = width_;
    source.length = length;
  }

  bool copied = false;
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (SUCCEEDED(context_->Map(staging_.Get(), 0, D3D11_MAP_WRITE, 0, &mapped))) {
    copied = CopyNv12Planes(source, Nv12Target{static_cast<uint8_t*>(mapped.pData), mapped.RowPitch}, width_,
                            height_);
    context_->Unmap(staging_.Get(), 0);
  }
  if (locked2d) {
    buffer2d->Unlock2D();
  } else {
    buffer->Unlock();
  }
  if (!copied) return nullptr;
  context_->CopyResource(upload_.Get(), staging_.Get());
  return upload_.Get();
}

}  // namespace kp
