// The export's media system on Windows: Media Foundation's source reader
// for probing and decoding, the D3D11 video processor for the edit frame,
// and the GPUs in DXGI's high-performance order.
#include <windows.h>
#include <dxgi1_6.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <propidl.h>
#include <wrl/client.h>

#include <vector>

#include "export/edit_frame_processor_win.h"
#include "export/export_media.h"
#include "export/mf_audio_track_reader_win.h"
#include "export/mf_source_reader_win.h"
#include "export/mf_video_source_win.h"
#include "platform/media_foundation_win.h"

namespace kp {

namespace {

using Microsoft::WRL::ComPtr;

// Hardware adapters, most capable first where the system can say so.
std::vector<ComPtr<IDXGIAdapter1>> ListAdapters() {
  std::vector<ComPtr<IDXGIAdapter1>> adapters;
  ComPtr<IDXGIFactory1> factory;
  if (FAILED(::CreateDXGIFactory1(IID_PPV_ARGS(&factory)))) return adapters;
  ComPtr<IDXGIFactory6> factory6;
  const bool byPreference = SUCCEEDED(factory.As(&factory6));
  for (UINT i = 0;; ++i) {
    ComPtr<IDXGIAdapter1> adapter;
    const HRESULT hr = byPreference ? factory6->EnumAdapterByGpuPreference(i, DXGI_GPU_PREFERENCE_HIGH_PERFORMANCE,
                                                                            IID_PPV_ARGS(&adapter))
                                    : factory->EnumAdapters1(i, &adapter);
    if (FAILED(hr)) break;
    DXGI_ADAPTER_DESC1 description{};
    if (SUCCEEDED(adapter->GetDesc1(&description)) && (description.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0) continue;
    adapters.push_back(std::move(adapter));
  }
  return adapters;
}

// One stream's native type as the export core reads it.
SourceStream DescribeStream(uint32_t index, IMFMediaType* type, const GUID& major) {
  SourceStream stream;
  stream.index = index;
  if (major == MFMediaType_Video) {
    stream.kind = StreamKind::Video;
    stream.hasFrameSize = ReadFrameSize(type, &stream.width, &stream.height);
    UINT64 rate = 0;
    if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_RATE, &rate))) {
      stream.frameRateNumerator = static_cast<uint32_t>(rate >> 32);
      stream.frameRateDenominator = static_cast<uint32_t>(rate & 0xFFFFFFFFu);
    }
    UINT32 matrix = 0;
    if (SUCCEEDED(type->GetUINT32(MF_MT_YUV_MATRIX, &matrix))) stream.yuvMatrix = matrix;
  } else if (major == MFMediaType_Audio) {
    stream.kind = StreamKind::Audio;
    UINT32 bytesPerSecond = 0;
    if (SUCCEEDED(type->GetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, &bytesPerSecond))) {
      stream.averageBytesPerSecond = bytesPerSecond;
    }
  }
  return stream;
}

class MfExportMedia : public ExportMedia {
 public:
  ~MfExportMedia() override {
    // Media Foundation counts its start-ups; this undoes only this one.
    if (started_) mf::Shutdown();
  }

  // Without Media Foundation no reader can open the input: the export then
  // fails as for an input it cannot read, with that line.
  bool Start() override {
    started_ = SUCCEEDED(mf::Startup(MF_VERSION, MFSTARTUP_FULL));
    return started_ || !mf::Installed();
  }

  std::optional<SourceDescription> Describe(const std::wstring& input) override {
    ComPtr<IMFSourceReader> reader = OpenSourceReader(input, nullptr);
    if (!reader) return std::nullopt;
    SourceDescription description;
    PROPVARIANT duration;
    ::PropVariantInit(&duration);
    if (SUCCEEDED(reader->GetPresentationAttribute(static_cast<DWORD>(MF_SOURCE_READER_MEDIASOURCE), MF_PD_DURATION,
                                                   &duration)) &&
        duration.vt == VT_UI8) {
      description.duration = duration.uhVal.QuadPart;
    }
    ::PropVariantClear(&duration);

    // The reader's stream indexes are those of the source's presentation
    // descriptor, whose stream descriptors carry the identifiers (the
    // MPEG-4 source reports the track ID).
    ComPtr<IMFMediaSource> source;
    ComPtr<IMFPresentationDescriptor> presentation;
    if (SUCCEEDED(reader->GetServiceForStream(static_cast<DWORD>(MF_SOURCE_READER_MEDIASOURCE), GUID_NULL,
                                              IID_PPV_ARGS(&source)))) {
      source->CreatePresentationDescriptor(&presentation);
    }
    DiscoverStreams([&](uint32_t index) {
      ComPtr<IMFMediaType> type;
      const HRESULT hr = reader->GetNativeMediaType(index, 0, &type);
      if (hr == MF_E_INVALIDSTREAMNUMBER) return StreamAnswer::NoStream;
      GUID major{};
      if (FAILED(hr) || FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major))) return StreamAnswer::Unreadable;
      SourceStream stream = DescribeStream(index, type.Get(), major);
      BOOL selected = FALSE;
      ComPtr<IMFStreamDescriptor> descriptor;
      DWORD id = 0;
      if (presentation && SUCCEEDED(presentation->GetStreamDescriptorByIndex(index, &selected, &descriptor)) &&
          SUCCEEDED(descriptor->GetStreamIdentifier(&id))) {
        stream.streamId = id;
      }
      description.streams.push_back(stream);
      return StreamAnswer::Found;
    });
    return description;
  }

  size_t AdapterCount() override {
    adapters_ = ListAdapters();
    return adapters_.size();
  }

  std::unique_ptr<VideoSource> OpenVideoSource(size_t adapter, const std::wstring& input) override {
    if (adapter >= adapters_.size()) return nullptr;
    return MfVideoSource::Open(adapters_[adapter].Get(), input);
  }

  std::unique_ptr<EditFrameProcessor> CreateEditFrameProcessor() override {
    return std::make_unique<D3D11EditFrameProcessor>();
  }

  std::unique_ptr<AudioTrackReader> OpenAudioTrack(const std::wstring& input, uint32_t streamIndex) override {
    return MfAudioTrackReader::Open(input, streamIndex);
  }

 private:
  bool started_ = false;
  std::vector<ComPtr<IDXGIAdapter1>> adapters_;
};

}  // namespace

std::unique_ptr<ExportMedia> CreatePlatformExportMedia() { return std::make_unique<MfExportMedia>(); }

}  // namespace kp
