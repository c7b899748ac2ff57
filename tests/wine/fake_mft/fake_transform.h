// A scripted H.264 encoder transform for driving the real MfEncoder under
// Wine, which registers no hardware encoder. Synchronous or asynchronous
// (events through IMFMediaEventGenerator), with or without its own output
// samples. It behaves as a transform must: it refuses input while an output
// waits to be taken (synchronous) or was not asked for (asynchronous), holds
// one picture back until drained, answers an output call with a stream
// change where scripted, and (as real-time hardware encoders do) may stop
// asking for input without reporting anything. The calls that matter are recorded in order;
// breaches of the transform contract are collected in `errors`.
#pragma once

#include <windows.h>

#include <codecapi.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <strmif.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace kp::wintest {

struct FakeTransformScript {
  bool async = false;
  bool providesSamples = false;
  std::vector<GUID> inputSubtypes;      // offered by GetInputAvailableType, in order
  int firstAcceptedInputType = 0;       // SetInputType refuses earlier indexes
  HRESULT outputTypeResult = S_OK;      // the first SetOutputType's answer
  HRESULT beginStreamingResult = S_OK;
  std::vector<GUID> refusedProperties;  // ICodecAPI values answered E_INVALIDARG
  int streamChangeAtOutput = -1;        // this output first answers a stream change
  int errorAfterInput = -1;             // async: MEError instead of the next input request
  int stopAskingAfterInput = -1;        // async: no input request after this input, and no error (a stall)
  bool parameterSetsInSamples = true;   // else only the output type's sequence header has them
};

struct FakeTransformRecord {
  std::vector<std::string> calls;  // "in 3", "out 2", "change", "set type", "busy", "none", "need", "have", ...
  std::vector<std::pair<GUID, uint64_t>> properties;  // every ICodecAPI value set, in order
  int inputTypeIndex = -1;                             // the type accepted
  bool deviceManagerSet = false;
  std::string errors;
};

// The Annex-B units the transform emits, so a check can tell them apart.
inline const std::vector<uint8_t> kFakeSampleSps = {0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78};
inline const std::vector<uint8_t> kFakeSamplePps = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
inline const std::vector<uint8_t> kFakeHeaderSps = {0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9};
inline const std::vector<uint8_t> kFakeHeaderPps = {0x68, 0xEE, 0x3C, 0x80};

class FakeTransform final : public IMFTransform, public IMFMediaEventGenerator, public ICodecAPI, public IMFShutdown {
 public:
  // The record is shared so that it outlives the transform the encoder releases.
  static Microsoft::WRL::ComPtr<IMFTransform> Make(const FakeTransformScript& script,
                                                    std::shared_ptr<FakeTransformRecord> record) {
    Microsoft::WRL::ComPtr<IMFTransform> transform;
    transform.Attach(new FakeTransform(script, std::move(record)));
    return transform;
  }

  // --- IUnknown, for every interface ---------------------------------------
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFTransform)) {
      *out = static_cast<IMFTransform*>(this);
    } else if (iid == IID_ICodecAPI) {
      *out = static_cast<ICodecAPI*>(this);
    } else if (iid == __uuidof(IMFShutdown)) {
      *out = static_cast<IMFShutdown*>(this);
    } else if (iid == __uuidof(IMFMediaEventGenerator) && script_.async) {
      *out = static_cast<IMFMediaEventGenerator*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // --- IMFTransform: the calls the encoder makes ---------------------------
  HRESULT STDMETHODCALLTYPE GetAttributes(IMFAttributes** attributes) override { return attributes_.CopyTo(attributes); }
  HRESULT STDMETHODCALLTYPE GetOutputStreamInfo(DWORD, MFT_OUTPUT_STREAM_INFO* info) override {
    *info = {};
    info->dwFlags = MFT_OUTPUT_STREAM_WHOLE_SAMPLES | (script_.providesSamples ? MFT_OUTPUT_STREAM_PROVIDES_SAMPLES : 0);
    info->cbSize = 64 * 1024;  // less than the encoder's floor
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetInputAvailableType(DWORD, DWORD index, IMFMediaType** type) override {
    if (index >= script_.inputSubtypes.size()) return MF_E_NO_MORE_TYPES;
    Microsoft::WRL::ComPtr<IMFMediaType> offered;
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
    if (!outputType_ || Value(type, MF_MT_FRAME_SIZE) != Value(outputType_.Get(), MF_MT_FRAME_SIZE) ||
        Value(type, MF_MT_FRAME_RATE) != Value(outputType_.Get(), MF_MT_FRAME_RATE)) {
      Error("input type set before the output type, or its size or rate differs");
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
    if (!outputType_) {
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
    streamChangePending_ = false;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetOutputAvailableType(DWORD, DWORD index, IMFMediaType** type) override {
    if (index > 0) return MF_E_NO_MORE_TYPES;
    if (!outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    Microsoft::WRL::ComPtr<IMFMediaType> copy;
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
        Microsoft::WRL::ComPtr<IMFDXGIDeviceManager> manager;
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
      return E_UNEXPECTED;
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
    if (held_.size() > 1) MakeReady();
    if (script_.async) {
      --inputRequests_;
      if (inputs_ == script_.errorAfterInput) {
        events_.push_back({MEError, E_UNEXPECTED});
        failed_ = true;
      } else if (script_.stopAskingAfterInput < 0 || inputs_ < script_.stopAskingAfterInput) {
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

    Microsoft::WRL::ComPtr<IMFSample> sample;
    Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
    if (script_.providesSamples) {
      if (buffers[0].pSample != nullptr) Error("a sample offered to a transform that provides its own");
      MFCreateSample(&sample);
      MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size()), &buffer);
      sample->AddBuffer(buffer.Get());
    } else {
      sample = buffers[0].pSample;
      DWORD capacity = 0;
      if (!sample || FAILED(sample->GetBufferByIndex(0, &buffer)) || FAILED(buffer->GetMaxLength(&capacity)) ||
          capacity < 4 * 1024 * 1024) {
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

  // --- IMFMediaEventGenerator (asynchronous only) --------------------------
  HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override {
    if (flags != MF_EVENT_FLAG_NO_WAIT) Error("a waiting GetEvent would block the pipeline");
    if (events_.empty()) return MF_E_NO_EVENTS_AVAILABLE;
    const auto [type, status] = events_.front();
    events_.pop_front();
    const char* names[] = {"need", "have", "done"};
    record_->calls.push_back(type == MEError ? "error" : names[type - METransformNeedInput]);
    return MFCreateMediaEvent(type, GUID_NULL, status, nullptr, event);
  }

  // --- ICodecAPI -------------------------------------------------------------
  HRESULT STDMETHODCALLTYPE SetValue(const GUID* api, VARIANT* value) override {
    uint64_t number = 0;
    if (value->vt == VT_BOOL) {
      number = value->boolVal != VARIANT_FALSE ? 1 : 0;
    } else if (value->vt == VT_UI4 || value->vt == VT_UI8) {
      number = value->vt == VT_UI4 ? value->ulVal : value->ullVal;
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

  // --- IMFShutdown -----------------------------------------------------------
  HRESULT STDMETHODCALLTYPE Shutdown() override {
    record_->calls.push_back("shutdown");
    return S_OK;
  }

  // Not used by the encoder.
#define KP_NOT_USED(method) \
  HRESULT STDMETHODCALLTYPE method override { return E_NOTIMPL; }
  KP_NOT_USED(GetStreamLimits(DWORD*, DWORD*, DWORD*, DWORD*)) KP_NOT_USED(GetStreamCount(DWORD*, DWORD*))
  KP_NOT_USED(GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*))
  KP_NOT_USED(GetInputStreamInfo(DWORD, MFT_INPUT_STREAM_INFO*))
  KP_NOT_USED(GetInputStreamAttributes(DWORD, IMFAttributes**))
  KP_NOT_USED(GetOutputStreamAttributes(DWORD, IMFAttributes**)) KP_NOT_USED(DeleteInputStream(DWORD))
  KP_NOT_USED(AddInputStreams(DWORD, DWORD*)) KP_NOT_USED(GetInputCurrentType(DWORD, IMFMediaType**))
  KP_NOT_USED(GetInputStatus(DWORD, DWORD*)) KP_NOT_USED(GetOutputStatus(DWORD*))
  KP_NOT_USED(SetOutputBounds(LONGLONG, LONGLONG)) KP_NOT_USED(ProcessEvent(DWORD, IMFMediaEvent*))
  KP_NOT_USED(BeginGetEvent(IMFAsyncCallback*, IUnknown*)) KP_NOT_USED(EndGetEvent(IMFAsyncResult*, IMFMediaEvent**))
  KP_NOT_USED(QueueEvent(MediaEventType, REFGUID, HRESULT, const PROPVARIANT*)) KP_NOT_USED(IsSupported(const GUID*))
  KP_NOT_USED(IsModifiable(const GUID*)) KP_NOT_USED(GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*))
  KP_NOT_USED(GetParameterValues(const GUID*, VARIANT**, ULONG*)) KP_NOT_USED(GetDefaultValue(const GUID*, VARIANT*))
  KP_NOT_USED(GetValue(const GUID*, VARIANT*)) KP_NOT_USED(RegisterForEvent(const GUID*, LONG_PTR))
  KP_NOT_USED(UnregisterForEvent(const GUID*)) KP_NOT_USED(SetAllDefaults())
  KP_NOT_USED(SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*))
  KP_NOT_USED(SetAllDefaultsWithNotify(GUID**, ULONG*)) KP_NOT_USED(GetAllSettings(IStream*))
  KP_NOT_USED(SetAllSettings(IStream*)) KP_NOT_USED(SetAllSettingsWithNotify(IStream*, GUID**, ULONG*))
  KP_NOT_USED(GetShutdownStatus(MFSHUTDOWN_STATUS*))
#undef KP_NOT_USED

 private:
  struct Picture {
    int index;
    LONGLONG time, duration;
    bool keyframe;
  };

  FakeTransform(const FakeTransformScript& script, std::shared_ptr<FakeTransformRecord> record)
      : script_(script), record_(std::move(record)) {
    MFCreateAttributes(&attributes_, 2);
    if (script_.async) attributes_->SetUINT32(MF_TRANSFORM_ASYNC, 1);
  }
  virtual ~FakeTransform() = default;

  static void AppendUnit(std::vector<uint8_t>& out, const std::vector<uint8_t>& unit) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), unit.begin(), unit.end());
  }
  static uint64_t Value(IMFMediaType* type, REFGUID key) {
    UINT64 value = 0;
    UINT32 small = 0;
    if (SUCCEEDED(type->GetUINT64(key, &value))) return value;
    return SUCCEEDED(type->GetUINT32(key, &small)) ? small : 0;
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

  std::atomic<ULONG> references_{1};
  FakeTransformScript script_;
  std::shared_ptr<FakeTransformRecord> record_;
  Microsoft::WRL::ComPtr<IMFAttributes> attributes_;
  std::vector<Microsoft::WRL::ComPtr<IMFMediaType>> offeredInputs_;
  Microsoft::WRL::ComPtr<IMFMediaType> outputType_;
  std::deque<Picture> held_, ready_;
  std::deque<std::pair<MediaEventType, HRESULT>> events_;
  int inputs_ = 0;
  int inputRequests_ = 0;
  bool failed_ = false;
  bool forceKeyframe_ = false;
  bool streamChanged_ = false;
  bool streamChangePending_ = false;
};

}  // namespace kp::wintest
