#include "fake_mft/fake_transform.h"

#include <codecapi.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "fake_mft/com_object.h"

namespace kp::wintest {

template <>
const IID& IidOf<ICodecAPI>() {
  return IID_ICodecAPI;  // MinGW's strmif.h ties no GUID to the interface
}

const std::vector<uint8_t> kFakeSampleSps = {0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78};
const std::vector<uint8_t> kFakeSamplePps = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
const std::vector<uint8_t> kFakeHeaderSps = {0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9};
const std::vector<uint8_t> kFakeHeaderPps = {0x68, 0xEE, 0x3C, 0x80};

namespace {

using Microsoft::WRL::ComPtr;

constexpr HRESULT kTransformFailure = E_UNEXPECTED;
constexpr uint32_t kMinOutputBytes = 4 * 1024 * 1024;

struct Picture {
  int index;
  LONGLONG time, duration;
  bool keyframe;
};

void AppendUnit(std::vector<uint8_t>& out, const std::vector<uint8_t>& unit) {
  out.insert(out.end(), {0, 0, 0, 1});
  out.insert(out.end(), unit.begin(), unit.end());
}

class FakeTransform final : public ComObject<IMFTransform, IMFMediaEventGenerator, ICodecAPI, IMFShutdown> {
 public:
  FakeTransform(const FakeTransformScript& script, std::shared_ptr<FakeTransformRecord> record)
      : script_(script), record_(std::move(record)) {
    MFCreateAttributes(&attributes_, 2);
    if (script_.async) attributes_->SetUINT32(MF_TRANSFORM_ASYNC, 1);
  }

  // --- IMFTransform: the calls the encoder makes --------------------------
  HRESULT STDMETHODCALLTYPE GetAttributes(IMFAttributes** attributes) override {
    return attributes_.CopyTo(attributes);
  }
  HRESULT STDMETHODCALLTYPE GetOutputStreamInfo(DWORD, MFT_OUTPUT_STREAM_INFO* info) override {
    *info = {};
    info->dwFlags = MFT_OUTPUT_STREAM_WHOLE_SAMPLES | (script_.providesSamples ? MFT_OUTPUT_STREAM_PROVIDES_SAMPLES : 0);
    info->cbSize = 64 * 1024;  // less than the encoder's floor
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetInputAvailableType(DWORD, DWORD index, IMFMediaType** type) override {
    if (index >= script_.inputSubtypes.size()) return MF_E_NO_MORE_TYPES;
    ComPtr<IMFMediaType> offered;
    MFCreateMediaType(&offered);
    offered->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    offered->SetGUID(MF_MT_SUBTYPE, script_.inputSubtypes[index]);
    if (offeredInputs_.size() <= index) offeredInputs_.resize(index + 1);
    offeredInputs_[index] = offered;
    return offered.CopyTo(type);
  }
  HRESULT STDMETHODCALLTYPE SetInputType(DWORD, IMFMediaType* type, DWORD) override {
    int index = -1;
    for (size_t i = 0; i < offeredInputs_.size(); ++i) {
      if (offeredInputs_[i].Get() == type) index = static_cast<int>(i);
    }
    GUID subtype{};
    type->GetGUID(MF_MT_SUBTYPE, &subtype);
    if (index < 0 || subtype != MFVideoFormat_NV12) Error("input type %d is not an offered NV12 type", index);
    if (!outputType_) Error("input type set before the output type");
    if (outputType_ && (Value(type, MF_MT_FRAME_SIZE) != Value(outputType_.Get(), MF_MT_FRAME_SIZE) ||
                        Value(type, MF_MT_FRAME_RATE) != Value(outputType_.Get(), MF_MT_FRAME_RATE))) {
      Error("input size or rate differs from the output's");
    }
    CheckColour("input", type);
    if (index < script_.firstAcceptedInputType) return MF_E_INVALIDMEDIATYPE;
    record_->inputTypeIndex = index;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetOutputType(DWORD, IMFMediaType* type, DWORD) override {
    GUID subtype{};
    type->GetGUID(MF_MT_SUBTYPE, &subtype);
    if (subtype != MFVideoFormat_H264) Error("output subtype is not H.264");
    if (record_->outputTypesSet == 0) {
      if (FAILED(script_.outputTypeResult)) return script_.outputTypeResult;
      if (Value(type, MF_MT_MPEG2_PROFILE) != 100 || Value(type, MF_MT_INTERLACE_MODE) != 2 ||
          Value(type, MF_MT_PIXEL_ASPECT_RATIO) != ((1ull << 32) | 1) || Value(type, MF_MT_AVG_BITRATE) == 0 ||
          Value(type, MF_MT_FRAME_SIZE) == 0 || Value(type, MF_MT_FRAME_RATE) == 0) {
        Error("output type incomplete");
      }
      CheckColour("output", type);
    } else {
      record_->calls.push_back("set type");
    }
    outputType_.Reset();
    MFCreateMediaType(&outputType_);
    type->CopyAllItems(outputType_.Get());
    ++record_->outputTypesSet;
    streamChangePending_ = false;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetOutputAvailableType(DWORD, DWORD index, IMFMediaType** type) override {
    if (index > 0) return MF_E_NO_MORE_TYPES;
    if (!outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    ComPtr<IMFMediaType> copy;
    MFCreateMediaType(&copy);
    outputType_->CopyAllItems(copy.Get());
    return copy.CopyTo(type);
  }
  HRESULT STDMETHODCALLTYPE GetOutputCurrentType(DWORD stream, IMFMediaType** type) override {
    if (streamChangePending_) Error("current type read during a stream change");
    std::vector<uint8_t> header;
    AppendUnit(header, kFakeHeaderSps);
    AppendUnit(header, kFakeHeaderPps);
    const HRESULT hr = GetOutputAvailableType(stream, 0, type);
    if (SUCCEEDED(hr)) (*type)->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER, header.data(), static_cast<UINT32>(header.size()));
    return hr;
  }
  HRESULT STDMETHODCALLTYPE ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) override {
    switch (message) {
      case MFT_MESSAGE_SET_D3D_MANAGER: {
        ComPtr<IMFDXGIDeviceManager> manager;
        auto* unknown = reinterpret_cast<IUnknown*>(param);
        record_->deviceManagerSet = unknown != nullptr && SUCCEEDED(unknown->QueryInterface(IID_PPV_ARGS(&manager)));
        return S_OK;
      }
      case MFT_MESSAGE_NOTIFY_BEGIN_STREAMING:
        return script_.beginStreamingResult;
      case MFT_MESSAGE_NOTIFY_START_OF_STREAM:
        if (script_.async) AskForInput();
        return S_OK;
      case MFT_MESSAGE_COMMAND_DRAIN:
        record_->calls.push_back("drain");
        while (!held_.empty()) MakeReady();
        if (script_.async) events_.push_back({METransformDrainComplete, S_OK});
        return S_OK;
      case MFT_MESSAGE_NOTIFY_END_OF_STREAM:
        record_->calls.push_back("eos");
        return S_OK;
      case MFT_MESSAGE_NOTIFY_END_STREAMING:
        record_->calls.push_back("end");
        return S_OK;
      default:
        return S_OK;
    }
  }
  HRESULT STDMETHODCALLTYPE ProcessInput(DWORD, IMFSample* sample, DWORD) override {
    if (script_.async && MFGetAttributeUINT32(attributes_.Get(), MF_TRANSFORM_ASYNC_UNLOCK, 0) == 0) {
      Error("input to a locked asynchronous transform");
      return MF_E_TRANSFORM_ASYNC_LOCKED;
    }
    if (failed_) {
      Error("input after the transform reported its failure");
      return kTransformFailure;
    }
    if (!script_.async && !ready_.empty()) {
      record_->calls.push_back("busy");
      return MF_E_NOTACCEPTING;
    }
    if (script_.async && inputRequests_ == 0) {
      Error("input that was not asked for");
      return MF_E_NOTACCEPTING;
    }
    Picture picture{inputs_, 0, 0, inputs_ == 0 || forceKeyframe_};
    DWORD buffers = 0;
    if (FAILED(sample->GetSampleTime(&picture.time)) || FAILED(sample->GetSampleDuration(&picture.duration)) ||
        FAILED(sample->GetBufferCount(&buffers)) || buffers != 1) {
      Error("input %d without time, duration or its one buffer", inputs_);
    }
    forceKeyframe_ = false;
    record_->calls.push_back("in " + std::to_string(inputs_));
    held_.push_back(picture);
    while (static_cast<int>(held_.size()) > script_.latency) MakeReady();
    if (script_.async) {
      --inputRequests_;
      if (inputs_ == script_.errorAfterInput) {
        events_.push_back({MEError, kTransformFailure});
        failed_ = true;
      } else {
        AskForInput();
      }
    }
    ++inputs_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) override {
    *status = 0;
    if (count != 1 || buffers[0].dwStreamID != 0) Error("output call with %lu buffers", count);
    if (ready_.empty()) {
      record_->calls.push_back("none");
      return MF_E_TRANSFORM_NEED_MORE_INPUT;
    }
    const Picture picture = ready_.front();
    if (picture.index == script_.streamChangeAtOutput && !streamChanged_) {
      streamChanged_ = streamChangePending_ = true;
      record_->calls.push_back("change");
      buffers[0].dwStatus = MFT_OUTPUT_DATA_BUFFER_FORMAT_CHANGE;
      return MF_E_TRANSFORM_STREAM_CHANGE;
    }
    if (streamChangePending_) Error("output asked for before the new type was set");

    std::vector<uint8_t> bytes;
    if (picture.keyframe && script_.parameterSetsInSamples) {
      AppendUnit(bytes, {0x09, 0xF0});
      AppendUnit(bytes, kFakeSampleSps);
      AppendUnit(bytes, kFakeSamplePps);
    }
    AppendUnit(bytes, {static_cast<uint8_t>(picture.keyframe ? 0x65 : 0x41), 0x9A, static_cast<uint8_t>(picture.index)});

    ComPtr<IMFSample> sample;
    ComPtr<IMFMediaBuffer> buffer;
    if (script_.providesSamples) {
      if (buffers[0].pSample != nullptr) Error("a sample offered to a transform that provides its own");
      MFCreateSample(&sample);
      MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size()), &buffer);
      sample->AddBuffer(buffer.Get());
    } else {
      sample = buffers[0].pSample;
      DWORD capacity = 0;
      if (!sample || FAILED(sample->GetBufferByIndex(0, &buffer)) || FAILED(buffer->GetMaxLength(&capacity)) ||
          capacity < kMinOutputBytes) {
        Error("output %d: no sample or a buffer under 4 MiB", picture.index);
        return E_INVALIDARG;
      }
    }
    BYTE* data = nullptr;
    buffer->Lock(&data, nullptr, nullptr);
    std::memcpy(data, bytes.data(), bytes.size());
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
    sample->SetSampleTime(picture.time);
    sample->SetSampleDuration(picture.duration);
    sample->SetUINT32(MFSampleExtension_CleanPoint, picture.keyframe ? 1 : 0);
    if (script_.providesSamples) buffers[0].pSample = sample.Detach();
    ready_.pop_front();
    record_->calls.push_back("out " + std::to_string(picture.index));
    return S_OK;
  }

  // Not used by the encoder.
  HRESULT STDMETHODCALLTYPE GetStreamLimits(DWORD*, DWORD*, DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetInputStreamInfo(DWORD, MFT_INPUT_STREAM_INFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteInputStream(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetInputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetInputStatus(DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetOutputStatus(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }

  // --- IMFMediaEventGenerator (asynchronous only) ---------------------------
  HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override {
    if (flags != MF_EVENT_FLAG_NO_WAIT) Error("a waiting GetEvent would block the pipeline");
    if (events_.empty()) return MF_E_NO_EVENTS_AVAILABLE;
    const auto [type, status] = events_.front();
    events_.pop_front();
    const char* names[] = {"need", "have", "done"};
    record_->calls.push_back(type == MEError ? "error" : names[type - METransformNeedInput]);
    return MFCreateMediaEvent(type, GUID_NULL, status, nullptr, event);
  }
  HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback*, IUnknown*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult*, IMFMediaEvent**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType, REFGUID, HRESULT, const PROPVARIANT*) override {
    return E_NOTIMPL;
  }

  // --- ICodecAPI -------------------------------------------------------------
  HRESULT STDMETHODCALLTYPE SetValue(const GUID* api, VARIANT* value) override {
    uint64_t number = 0;
    if (value->vt == VT_BOOL) {
      number = value->boolVal != VARIANT_FALSE ? 1 : 0;
    } else if (value->vt == VT_UI4) {
      number = value->ulVal;
    } else if (value->vt == VT_UI8) {
      number = value->ullVal;
    } else {
      Error("property value of variant type %d", value->vt);
    }
    record_->properties.emplace_back(*api, number);
    for (const GUID& refused : script_.refusedProperties) {
      if (refused == *api) return E_INVALIDARG;
    }
    if (*api == CODECAPI_AVEncVideoForceKeyFrame) forceKeyframe_ = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsSupported(const GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsModifiable(const GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetParameterValues(const GUID*, VARIANT**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDefaultValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RegisterForEvent(const GUID*, LONG_PTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnregisterForEvent(const GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllDefaults() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllDefaultsWithNotify(GUID**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAllSettings(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllSettings(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllSettingsWithNotify(IStream*, GUID**, ULONG*) override { return E_NOTIMPL; }

  // --- IMFShutdown -----------------------------------------------------------
  HRESULT STDMETHODCALLTYPE Shutdown() override {
    record_->calls.push_back("shutdown");
    record_->shutDown = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetShutdownStatus(MFSHUTDOWN_STATUS*) override { return E_NOTIMPL; }

 protected:
  bool Offers(REFIID iid) override { return script_.async || iid != __uuidof(IMFMediaEventGenerator); }

 private:
  static uint64_t Value(IMFMediaType* type, REFGUID key) {
    UINT64 value = 0;
    if (FAILED(type->GetUINT64(key, &value))) {
      UINT32 small = 0;
      value = SUCCEEDED(type->GetUINT32(key, &small)) ? small : 0;
    }
    return value;
  }
  void CheckColour(const char* which, IMFMediaType* type) {
    if (Value(type, MF_MT_VIDEO_PRIMARIES) != MFVideoPrimaries_BT709 ||
        Value(type, MF_MT_TRANSFER_FUNCTION) != MFVideoTransFunc_709 ||
        Value(type, MF_MT_YUV_MATRIX) != MFVideoTransferMatrix_BT709 ||
        Value(type, MF_MT_VIDEO_NOMINAL_RANGE) != MFNominalRange_16_235) {
      Error("%s type lacks the BT.709 limited-range attributes", which);
    }
  }
  void Error(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    record_->errors += std::string(line) + "\n";
  }
  void AskForInput() {
    events_.push_back({METransformNeedInput, S_OK});
    ++inputRequests_;
  }
  void MakeReady() {
    ready_.push_back(held_.front());
    held_.pop_front();
    if (script_.async) events_.push_back({METransformHaveOutput, S_OK});
  }

  FakeTransformScript script_;
  std::shared_ptr<FakeTransformRecord> record_;
  ComPtr<IMFAttributes> attributes_;
  std::vector<ComPtr<IMFMediaType>> offeredInputs_;
  ComPtr<IMFMediaType> outputType_;
  std::deque<Picture> held_, ready_;
  std::deque<std::pair<MediaEventType, HRESULT>> events_;
  int inputs_ = 0;
  int inputRequests_ = 0;
  bool failed_ = false;
  bool forceKeyframe_ = false;
  bool streamChanged_ = false;
  bool streamChangePending_ = false;
};

}  // namespace

ComPtr<IMFTransform> MakeFakeTransform(const FakeTransformScript& script, std::shared_ptr<FakeTransformRecord> record) {
  ComPtr<IMFTransform> transform;
  transform.Attach(new FakeTransform(script, std::move(record)));
  return transform;
}

}  // namespace kp::wintest
