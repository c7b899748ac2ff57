#include "video/mf_encoder_win.h"

#include "platform/win_compat.h"

#include <codecapi.h>
#include <mferror.h>

#include <algorithm>
#include <span>
#include <utility>

#include "app/log.h"
#include "platform/clock.h"
#include "platform/media_foundation_win.h"
#include "video/mf_encoder_settings.h"

namespace kp {

namespace {

constexpr uint32_t kMinOutputBufferBytes = 4 * 1024 * 1024;
constexpr uint32_t kH264ProfileHigh = 100;

// The codec interface as the portable property programme sees it.
class CodecApiProperties : public MfCodecProperties {
 public:
  explicit CodecApiProperties(ICodecAPI* codec) : codec_(codec) {}

  bool Set(MfCodecProperty property, uint64_t value) override {
    VARIANT variant;
    VariantInit(&variant);
    if (property == MfCodecProperty::LowLatency) {
      variant.vt = VT_BOOL;
      variant.boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (property == MfCodecProperty::EncodeQp) {
      variant.vt = VT_UI8;
      variant.ullVal = value;
    } else {
      variant.vt = VT_UI4;
      variant.ulVal = static_cast<ULONG>(value);
    }
    const GUID& api = Api(property);
    return SUCCEEDED(codec_->SetValue(&api, &variant));
  }

 private:
  static const GUID& Api(MfCodecProperty property) {
    switch (property) {
      case MfCodecProperty::GopSize: return CODECAPI_AVEncMPVGOPSize;
      case MfCodecProperty::BFrameCount: return CODECAPI_AVEncMPVDefaultBPictureCount;
      case MfCodecProperty::LowLatency: return CODECAPI_AVLowLatencyMode;
      case MfCodecProperty::RateControlMode: return CODECAPI_AVEncCommonRateControlMode;
      case MfCodecProperty::EncodeQp: return CODECAPI_AVEncVideoEncodeQP;
      case MfCodecProperty::CommonQuality: return CODECAPI_AVEncCommonQuality;
      case MfCodecProperty::MaxBitrate: return CODECAPI_AVEncCommonMaxBitRate;
      case MfCodecProperty::MeanBitrate: return CODECAPI_AVEncCommonMeanBitRate;
      case MfCodecProperty::ForceKeyframe: return CODECAPI_AVEncVideoForceKeyFrame;
    }
    return CODECAPI_AVEncVideoForceKeyFrame;
  }

  ICodecAPI* codec_;
};

// BT.709 primaries, transfer and matrix, limited (16..235) range.
HRESULT SetColourAttributes(IMFMediaType* type) {
  HRESULT hr = type->SetUINT32(MF_MT_VIDEO_PRIMARIES, MFVideoPrimaries_BT709);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_TRANSFER_FUNCTION, MFVideoTransFunc_709);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT709);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_16_235);
  return hr;
}

unsigned long HrValue(HRESULT hr) { return static_cast<unsigned long>(static_cast<uint32_t>(hr)); }

}  // namespace

class MfEncoder::OutputScope {
 public:
  OutputScope(PacketList*& slot, PacketList& packets) : slot_(slot) { slot_ = &packets; }
  ~OutputScope() { slot_ = nullptr; }
  OutputScope(const OutputScope&) = delete;
  OutputScope& operator=(const OutputScope&) = delete;

 private:
  PacketList*& slot_;
};

MfEncoder::MfEncoder() : MfEncoder(FindHardwareH264Transform) {}

MfEncoder::MfEncoder(MfTransformFinder finder) : finder_(std::move(finder)) {}

MfEncoder::~MfEncoder() {
  if (transform_ && started_) {
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0);
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
    ComPtr<IMFShutdown> shutdown;
    if (SUCCEEDED(transform_.As(&shutdown))) shutdown->Shutdown();
  }
  pump_.reset();
  codec_.Reset();
  events_.Reset();
  transform_.Reset();
  deviceManager_.Reset();
  if (started_) mf::Shutdown();
  for (ComPtr<ID3D11Texture2D>& texture : ring_) texture.Reset();
  input_.Reset();
  context_.Reset();
}

bool MfEncoder::Initialize(GpuDevice* gpuDevice, GpuTexture* gpuInput, const EncoderConfig& config) {
  ID3D11Device* device = reinterpret_cast<ID3D11Device*>(gpuDevice);
  config_ = config;
  DeriveBitrates(config_);
  frameDuration_ = config_.fps > 0 ? kTicksPerSecond / config_.fps : 0;
  input_ = reinterpret_cast<ID3D11Texture2D*>(gpuInput);
  device->GetImmediateContext(&context_);

  if (FAILED(mf::Startup(MF_VERSION, MFSTARTUP_LITE))) return false;
  started_ = true;

  if (!finder_(device, transform_, name_) || !transform_) return false;
  ReadTransformAttributes();
  MfEventSource& source = *this;
  pump_ = std::make_unique<MfEventPump>(source, SystemClock(), config_.realtime != 0, config_.failStalls != 0);
  if (!BindDevice(device)) {
    Log("mf: encoder can't use the GPU device");
    return false;
  }
  // MinGW's strmif.h ties no GUID to ICodecAPI, so ask by its IID.
  if (SUCCEEDED(transform_->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(codec_.ReleaseAndGetAddressOf())))) {
    CodecApiProperties properties(codec_.Get());
    qpAccepted_ = ApplyMfCodecProperties(properties, config_);
  }
  if (!SetMediaTypes()) return false;
  if (!CreateRing(device)) return false;
  if (FAILED(transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0)) ||
      FAILED(transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0))) {
    Log("mf: encoder failed to start streaming");
    return false;
  }
  track_.kind = 0;
  track_.width = config_.width;
  track_.height = config_.height;
  track_.fps = config_.fps;
  LogMfEncoderOpened(name_, config_, qpAccepted_, async_);
  return true;
}

void MfEncoder::ReadTransformAttributes() {
  ComPtr<IMFAttributes> attributes;
  if (FAILED(transform_->GetAttributes(&attributes)) || !attributes) return;
  // An asynchronous transform refuses to work until it is unlocked, and
  // then talks to us only through its event queue.
  if (MFGetAttributeUINT32(attributes.Get(), MF_TRANSFORM_ASYNC, 0) != 0) {
    attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1);
    async_ = SUCCEEDED(transform_.As(&events_));
  }
  attributes->SetUINT32(MF_LOW_LATENCY, 1);
}

bool MfEncoder::BindDevice(ID3D11Device* device) {
  UINT token = 0;
  if (FAILED(mf::CreateDXGIDeviceManager(&token, &deviceManager_))) return false;
  if (FAILED(deviceManager_->ResetDevice(device, token))) return false;
  return SUCCEEDED(transform_->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER,
                                              reinterpret_cast<ULONG_PTR>(deviceManager_.Get())));
}

bool MfEncoder::SetMediaTypes() {
  ComPtr<IMFMediaType> output;
  HRESULT hr = mf::CreateMediaType(&output);
  if (SUCCEEDED(hr)) hr = output->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = output->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  if (SUCCEEDED(hr)) hr = output->SetUINT32(MF_MT_AVG_BITRATE, MfOutputTypeBitrate(config_));
  if (SUCCEEDED(hr)) hr = MFSetAttributeSize(output.Get(), MF_MT_FRAME_SIZE, config_.width, config_.height);
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(output.Get(), MF_MT_FRAME_RATE, config_.fps, 1);
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(output.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  if (SUCCEEDED(hr)) hr = output->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  if (SUCCEEDED(hr)) hr = output->SetUINT32(MF_MT_MPEG2_PROFILE, kH264ProfileHigh);
  if (SUCCEEDED(hr)) hr = SetColourAttributes(output.Get());
  if (SUCCEEDED(hr)) hr = transform_->SetOutputType(0, output.Get(), 0);
  if (FAILED(hr)) {
    Log("mf: output type rejected (hr=0x%08lX)", HrValue(hr));
    return false;
  }

  for (DWORD index = 0;; ++index) {
    ComPtr<IMFMediaType> input;
    if (FAILED(transform_->GetInputAvailableType(0, index, &input))) break;
    GUID subtype{};
    if (FAILED(input->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_NV12) continue;
    hr = MFSetAttributeSize(input.Get(), MF_MT_FRAME_SIZE, config_.width, config_.height);
    if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(input.Get(), MF_MT_FRAME_RATE, config_.fps, 1);
    if (SUCCEEDED(hr)) hr = SetColourAttributes(input.Get());
    if (SUCCEEDED(hr) && SUCCEEDED(transform_->SetInputType(0, input.Get(), 0))) return true;
  }
  Log("mf: encoder doesn't take NV12 input at %ux%u", config_.width, config_.height);
  return false;
}

bool MfEncoder::CreateRing(ID3D11Device* device) {
  D3D11_TEXTURE2D_DESC description{};
  input_->GetDesc(&description);
  // Some vendors' encoders read their input through a shader.
  description.BindFlags |= D3D11_BIND_SHADER_RESOURCE;
  for (ComPtr<ID3D11Texture2D>& texture : ring_) {
    if (FAILED(device->CreateTexture2D(&description, nullptr, &texture))) return false;
  }
  return true;
}

bool MfEncoder::MakeSample(ID3D11Texture2D* texture, int64_t pts, int64_t duration, ComPtr<IMFSample>& sample) {
  ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(mf::CreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), texture, 0, FALSE, &buffer))) return false;
  if (FAILED(mf::CreateSample(&sample))) return false;
  ComPtr<IMF2DBuffer> buffer2d;
  DWORD length = 0;
  if (FAILED(buffer.As(&buffer2d)) || FAILED(buffer2d->GetContiguousLength(&length))) return false;
  if (FAILED(buffer->SetCurrentLength(length))) return false;
  if (FAILED(sample->AddBuffer(buffer.Get()))) return false;
  if (FAILED(sample->SetSampleTime(pts))) return false;
  return SUCCEEDED(sample->SetSampleDuration(duration));
}

bool MfEncoder::Encode(int64_t pts, int64_t duration, bool forceKeyframe, PacketList& packets) {
  if (!transform_) return false;
  const OutputScope scope(output_, packets);
  ID3D11Texture2D* texture = ring_[ringNext_].Get();
  ringNext_ = (ringNext_ + 1) % ring_.size();
  context_->CopyResource(texture, input_.Get());

  ComPtr<IMFSample> sample;
  if (!MakeSample(texture, pts, duration, sample)) return false;

  if (forceKeyframe && codec_) {
    CodecApiProperties properties(codec_.Get());
    if (!properties.Set(MfCodecProperty::ForceKeyframe, 1)) {
      Log("mf: encoder doesn't accept %s=%u", "force keyframe", 1u);
    }
  }

  if (async_) {
    const MfEventPump::InputSlot slot = pump_->AcquireInputSlot();
    if (slot == MfEventPump::InputSlot::Failed) return false;
    if (slot == MfEventPump::InputSlot::Dropped) return true;
  }

  HRESULT hr = transform_->ProcessInput(0, sample.Get(), 0);
  if (hr == MF_E_NOTACCEPTING && !async_) {
    // The transform wants its finished output taken first.
    CollectOneOutput();
    hr = transform_->ProcessInput(0, sample.Get(), 0);
  }
  if (FAILED(hr)) {
    Log("mf: ProcessInput failed (hr=0x%08lX)", HrValue(hr));
    return false;
  }
  if (async_) return pump_->Pump(/*waitForInput=*/false);
  while (CollectOneOutput()) {
  }
  return true;
}

bool MfEncoder::Drain(PacketList& packets) {
  if (!transform_) return false;
  const OutputScope scope(output_, packets);
  if (FAILED(transform_->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0))) return false;
  if (async_) return pump_->FinishDrain();
  while (CollectOneOutput()) {
  }
  return true;
}

MfEventPoll MfEncoder::PollEvent() {
  ComPtr<IMFMediaEvent> event;
  const HRESULT hr = events_->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event);
  if (FAILED(hr)) return MfEventPoll{static_cast<uint32_t>(hr), 0};
  MediaEventType type = MEUnknown;
  HRESULT status = S_OK;
  event->GetType(&type);
  event->GetStatus(&status);
  return MfEventPoll{0, static_cast<uint32_t>(type), static_cast<uint32_t>(status)};
}

bool MfEncoder::CollectOneOutput() {
  MFT_OUTPUT_STREAM_INFO info{};
  if (FAILED(transform_->GetOutputStreamInfo(0, &info))) return false;
  ComPtr<IMFSample> ownSample;
  const bool transformProvides =
      (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;
  if (!transformProvides) {
    ComPtr<IMFMediaBuffer> buffer;
    if (FAILED(mf::CreateSample(&ownSample))) return false;
    if (FAILED(mf::CreateMemoryBuffer(std::max<DWORD>(info.cbSize, kMinOutputBufferBytes), &buffer))) return false;
    if (FAILED(ownSample->AddBuffer(buffer.Get()))) return false;
  }

  MFT_OUTPUT_DATA_BUFFER data{};
  data.dwStreamID = 0;
  data.pSample = ownSample.Get();
  DWORD status = 0;
  const HRESULT hr = transform_->ProcessOutput(0, 1, &data, &status);
  if (data.pEvents != nullptr) data.pEvents->Release();
  ComPtr<IMFSample> produced;
  if (transformProvides) {
    produced.Attach(data.pSample);  // the transform handed us a reference
  } else {
    produced = ownSample;
  }
  if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
    ComPtr<IMFMediaType> type;
    if (SUCCEEDED(transform_->GetOutputAvailableType(0, 0, &type))) transform_->SetOutputType(0, type.Get(), 0);
    return false;
  }
  if (FAILED(hr) || !produced) return false;

  ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(produced->ConvertToContiguousBuffer(&buffer))) return false;
  BYTE* bytes = nullptr;
  DWORD length = 0;
  if (FAILED(buffer->Lock(&bytes, nullptr, &length))) return false;
  MfOutputSample out;
  out.data = std::span<const uint8_t>(bytes, length);
  LONGLONG value = 0;
  out.hasTime = SUCCEEDED(produced->GetSampleTime(&value));
  out.time = out.hasTime ? value : 0;
  out.hasDuration = SUCCEEDED(produced->GetSampleDuration(&value));
  out.duration = out.hasDuration ? value : 0;
  out.cleanPoint = MFGetAttributeUINT32(produced.Get(), MFSampleExtension_CleanPoint, 0) != 0;
  EncodedPacket packet = MakeMfPacket(out, frameDuration_, track_);
  buffer->Unlock();

  if (track_.sps.empty()) {
    ComPtr<IMFMediaType> type;
    UINT8* header = nullptr;
    UINT32 headerSize = 0;
    if (SUCCEEDED(transform_->GetOutputCurrentType(0, &type)) &&
        SUCCEEDED(type->GetAllocatedBlob(MF_MT_MPEG_SEQUENCE_HEADER, &header, &headerSize))) {
      StoreSequenceHeader(std::span<const uint8_t>(header, headerSize), track_);
      CoTaskMemFree(header);
    }
  }
  if (!packet.data.empty() && output_ != nullptr) {
    output_->push_back(std::make_shared<const EncodedPacket>(std::move(packet)));
  }
  return true;
}

}  // namespace kp
