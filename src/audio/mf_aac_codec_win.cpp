// The Windows AAC codec: the Microsoft AAC encoder transform (in-process
// Media Foundation transform), 16-bit PCM in, raw AAC-LC access units out.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <objbase.h>
#include <wrl/client.h>

#include <cstring>

#include "audio/aac_codec.h"
#include "audio/mf_pcm_type_win.h"
#include "platform/media_foundation_win.h"

namespace kp {

namespace {

using Microsoft::WRL::ComPtr;

constexpr CLSID kClsidAacEncoder = {0x93AF0C51, 0x2275, 0x45D2, {0xA3, 0x5B, 0xF2, 0xBA, 0x21, 0xCA, 0xED, 0x00}};

static_assert(static_cast<uint32_t>(MF_E_NOTACCEPTING) == AacCodec::kNotAccepting);
static_assert(static_cast<uint32_t>(MF_E_TRANSFORM_NEED_MORE_INPUT) == AacCodec::kNeedMoreInput);

uint32_t Code(HRESULT hr) { return static_cast<uint32_t>(hr); }

HRESULT NewSample(DWORD size, ComPtr<IMFSample>* sample, ComPtr<IMFMediaBuffer>* buffer) {
  HRESULT hr = mf::CreateMemoryBuffer(size, buffer->ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = mf::CreateSample(sample->ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = (*sample)->AddBuffer(buffer->Get());
  return hr;
}

class MfAacCodec : public AacCodec {
 public:
  explicit MfAacCodec(ComPtr<IMFTransform> transform) : transform_(std::move(transform)) {}

  uint32_t SetInputType() override {
    ComPtr<IMFMediaType> type;
    HRESULT hr = CreatePcm48kStereoType(&type);
    if (SUCCEEDED(hr)) hr = transform_->SetInputType(0, type.Get(), 0);
    return Code(hr);
  }

  uint32_t SetOutputType(uint32_t kbps) override {
    ComPtr<IMFMediaType> type;
    HRESULT hr = mf::CreateMediaType(&type);
    if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC);
    if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 48'000);
    if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2);
    if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kbps * 1000 / 8);
    if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);
    if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, 0x29);
    if (SUCCEEDED(hr)) hr = transform_->SetOutputType(0, type.Get(), 0);
    return Code(hr);
  }

  uint32_t OutputBufferSize() override {
    MFT_OUTPUT_STREAM_INFO info = {};
    if (FAILED(transform_->GetOutputStreamInfo(0, &info))) return 0;
    return info.cbSize;
  }

  void BeginStream() override {
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
  }

  uint32_t ProcessInput(const int16_t* samples, uint32_t frames, int64_t time, int64_t duration) override {
    const DWORD bytes = frames * 4;
    ComPtr<IMFSample> sample;
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = NewSample(bytes, &sample, &buffer);
    BYTE* data = nullptr;
    if (SUCCEEDED(hr)) hr = buffer->Lock(&data, nullptr, nullptr);
    if (SUCCEEDED(hr)) {
      std::memcpy(data, samples, bytes);
      buffer->Unlock();
      hr = buffer->SetCurrentLength(bytes);
    }
    if (SUCCEEDED(hr)) hr = sample->SetSampleTime(time);
    if (SUCCEEDED(hr)) hr = sample->SetSampleDuration(duration);
    if (SUCCEEDED(hr)) hr = transform_->ProcessInput(0, sample.Get(), 0);
    return Code(hr);
  }

  uint32_t ProcessOutput(uint32_t bufferSize, std::vector<uint8_t>* data, bool* hasTime, int64_t* time) override {
    data->clear();
    ComPtr<IMFSample> sample;
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = NewSample(bufferSize, &sample, &buffer);
    if (FAILED(hr)) return Code(hr);
    MFT_OUTPUT_DATA_BUFFER output = {};
    output.dwStreamID = 0;
    output.pSample = sample.Get();
    DWORD status = 0;
    hr = transform_->ProcessOutput(0, 1, &output, &status);
    if (output.pEvents != nullptr) output.pEvents->Release();
    if (FAILED(hr)) return Code(hr);

    BYTE* bytes = nullptr;
    DWORD length = 0;
    if (SUCCEEDED(buffer->Lock(&bytes, nullptr, &length))) {
      data->assign(bytes, bytes + length);
      buffer->Unlock();
    }
    LONGLONG sampleTime = 0;
    *hasTime = SUCCEEDED(sample->GetSampleTime(&sampleTime));
    *time = sampleTime;
    return kOk;
  }

  uint32_t Drain() override { return Code(transform_->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0)); }

 private:
  ComPtr<IMFTransform> transform_;
};

}  // namespace

std::unique_ptr<AacCodec> CreatePlatformAacCodec(uint32_t* failureCode) {
  ComPtr<IMFTransform> transform;
  HRESULT hr = ::CoCreateInstance(kClsidAacEncoder, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&transform));
  if (FAILED(hr)) {
    *failureCode = Code(hr);
    return nullptr;
  }
  return std::make_unique<MfAacCodec>(std::move(transform));
}

}  // namespace kp
