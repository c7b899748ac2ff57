// The Windows capture endpoint: WASAPI in shared, event-driven mode at 48 kHz
// stereo float (the audio engine converts whatever the device mixes in),
// loopback of a render endpoint for the desktop sound, a capture endpoint
// for the microphone. The capture thread runs in COM's multithreaded
// apartment with the multimedia class scheduler's "Audio" characteristics.
#include <windows.h>
#include <audioclient.h>
#include <avrt.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <objbase.h>
#include <propidl.h>
#include <propsys.h>
#include <wrl/client.h>

#include "audio/audio_device.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "platform/unique_handle_win.h"

namespace kp {

namespace {

using Microsoft::WRL::ComPtr;

// Declared here by value so that no GUID needs to come from an import
// library or an INITGUID translation unit.
constexpr CLSID kClsidMmDeviceEnumerator = {0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
constexpr GUID kSubtypeIeeeFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr PROPERTYKEY kDeviceFriendlyName = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};

constexpr REFERENCE_TIME kBufferDuration = 2'000'000;  // 200 ms

uint32_t Code(HRESULT hr) { return static_cast<uint32_t>(hr); }

class WasapiAudioDevice : public AudioDevice {
 public:
  explicit WasapiAudioDevice(AudioSourceKind kind) : kind_(kind) {}
  ~WasapiAudioDevice() override { LeaveThread(); }

  void EnterThread() override {
    comStarted_ = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    DWORD taskIndex = 0;
    mmcss_ = ::AvSetMmThreadCharacteristicsW(L"Audio", &taskIndex);
    event_.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ::CoCreateInstance(kClsidMmDeviceEnumerator, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&enumerator_));
  }

  void LeaveThread() override {
    Close();
    enumerator_.Reset();
    event_.Reset();
    if (mmcss_ != nullptr) {
      ::AvRevertMmThreadCharacteristics(mmcss_);
      mmcss_ = nullptr;
    }
    if (comStarted_) {
      ::CoUninitialize();
      comStarted_ = false;
    }
  }

  DeviceOpenResult Open(const std::wstring& deviceSetting) override {
    DeviceOpenResult result;
    if (!enumerator_ || !event_.Valid()) return result;
    // A configured endpoint that is unplugged or disabled still answers
    // GetDevice, but cannot be activated: it counts as gone.
    ComPtr<IMMDevice> device;
    if (deviceSetting != L"default") device = ActiveEndpoint(deviceSetting);
    if (!device && FAILED(enumerator_->GetDefaultAudioEndpoint(DataFlow(), eConsole, &device))) return result;
    if (!device) return result;

    currentId_ = IdOf(device.Get());
    HRESULT hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                  reinterpret_cast<void**>(client_.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) {
      Close();
      result.status = DeviceOpenStatus::kActivateFailed;
      result.code = Code(hr);
      return result;
    }

    WAVEFORMATEXTENSIBLE format = {};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = 2;
    format.Format.nSamplesPerSec = 48'000;
    format.Format.nAvgBytesPerSec = 384'000;
    format.Format.nBlockAlign = 8;
    format.Format.wBitsPerSample = 32;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = 32;
    format.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    format.SubFormat = kSubtypeIeeeFloat;
    DWORD flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                  AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
    if (kind_ == AudioSourceKind::kDesktop) flags |= AUDCLNT_STREAMFLAGS_LOOPBACK;

    hr = client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kBufferDuration, 0,
                             reinterpret_cast<const WAVEFORMATEX*>(&format), nullptr);
    if (SUCCEEDED(hr)) hr = client_->SetEventHandle(event_.Get());
    if (SUCCEEDED(hr)) hr = client_->GetService(IID_PPV_ARGS(&capture_));
    if (SUCCEEDED(hr)) hr = client_->Start();
    if (FAILED(hr)) {
      Close();
      result.status = DeviceOpenStatus::kInitializeFailed;
      result.code = Code(hr);
      return result;
    }

    result.status = DeviceOpenStatus::kOk;
    result.friendlyName = FriendlyName(device.Get());
    return result;
  }

  bool IsOpen() const override { return client_ != nullptr; }

  void Close() override {
    if (client_) client_->Stop();
    capture_.Reset();
    client_.Reset();
    currentId_.clear();
  }

  void Wait(int milliseconds) override {
    if (event_.Valid()) {
      ::WaitForSingleObject(event_.Get(), static_cast<DWORD>(milliseconds));
    } else {
      ::Sleep(static_cast<DWORD>(milliseconds));
    }
  }

  uint32_t ReadPackets(const std::function<void(const DevicePacket&)>& sink) override {
    if (!capture_) return kDeviceInvalidated;
    for (;;) {
      UINT32 pending = 0;
      HRESULT hr = capture_->GetNextPacketSize(&pending);
      if (FAILED(hr)) return Code(hr);
      if (pending == 0) return 0;
      BYTE* data = nullptr;
      UINT32 frames = 0;
      DWORD flags = 0;
      UINT64 qpcPosition = 0;
      hr = capture_->GetBuffer(&data, &frames, &flags, nullptr, &qpcPosition);
      if (FAILED(hr)) return Code(hr);
      // A success code with nothing in it: there is no buffer to release,
      // and nothing to hand on. What comes next arrives with the next event.
      if (hr == AUDCLNT_S_BUFFER_EMPTY) return 0;
      DevicePacket packet;
      packet.samples = reinterpret_cast<const float*>(data);
      packet.frames = frames;
      packet.silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
      packet.timestampError = (flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) != 0;
      packet.devicePosition = qpcPosition;
      sink(packet);
      hr = capture_->ReleaseBuffer(frames);
      if (FAILED(hr)) return Code(hr);
    }
  }

  std::wstring DefaultEndpointId() override {
    if (!enumerator_) return {};
    ComPtr<IMMDevice> device;
    if (FAILED(enumerator_->GetDefaultAudioEndpoint(DataFlow(), eConsole, &device)) || !device) return {};
    return IdOf(device.Get());
  }

  std::wstring CurrentEndpointId() const override { return currentId_; }

  bool EndpointActive(const std::wstring& id) override { return ActiveEndpoint(id) != nullptr; }

 private:
  EDataFlow DataFlow() const { return kind_ == AudioSourceKind::kDesktop ? eRender : eCapture; }

  // The endpoint `id` when it exists and is active (plugged in, enabled).
  ComPtr<IMMDevice> ActiveEndpoint(const std::wstring& id) {
    ComPtr<IMMDevice> device;
    DWORD state = 0;
    if (!enumerator_ || FAILED(enumerator_->GetDevice(id.c_str(), &device)) || !device) return nullptr;
    if (FAILED(device->GetState(&state)) || state != DEVICE_STATE_ACTIVE) return nullptr;
    return device;
  }

  static std::wstring IdOf(IMMDevice* device) {
    LPWSTR id = nullptr;
    std::wstring result;
    if (SUCCEEDED(device->GetId(&id)) && id != nullptr) result = id;
    ::CoTaskMemFree(id);
    return result;
  }

  static std::string FriendlyName(IMMDevice* device) {
    std::string name = "?";
    ComPtr<IPropertyStore> store;
    if (FAILED(device->OpenPropertyStore(STGM_READ, &store))) return name;
    PROPVARIANT value;
    ::PropVariantInit(&value);
    if (SUCCEEDED(store->GetValue(kDeviceFriendlyName, &value)) && value.vt == VT_LPWSTR && value.pwszVal != nullptr) {
      name = WideToUtf8(value.pwszVal);
    }
    ::PropVariantClear(&value);
    return name;
  }

  AudioSourceKind kind_;
  bool comStarted_ = false;
  HANDLE mmcss_ = nullptr;
  UniqueHandle event_;
  ComPtr<IMMDeviceEnumerator> enumerator_;
  ComPtr<IAudioClient> client_;
  ComPtr<IAudioCaptureClient> capture_;
  std::wstring currentId_;
};

}  // namespace

std::unique_ptr<AudioDevice> CreatePlatformAudioDevice(AudioSourceKind kind, Clock& /*clock*/) {
  return std::make_unique<WasapiAudioDevice>(kind);
}

}  // namespace kp
