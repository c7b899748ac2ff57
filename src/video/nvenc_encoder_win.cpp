#include "video/nvenc_encoder_win.h"

#include <algorithm>
#include <span>

#include "app/log.h"
#include "video/nvenc_config.h"

namespace kp {

namespace {

constexpr uint32_t kSequenceHeaderCapacity = 1024;

template <typename T>
T LookUp(HMODULE library, const char* name) {
  // The exports are plain functions; the cast through void* keeps the
  // function-pointer conversion explicit and warning-free.
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

}  // namespace

NvencEncoder::NvencEncoder() : functions_(nvenc::Zeroed<nvenc::FunctionList>()) {}

NvencEncoder::~NvencEncoder() {
  if (session_ != nullptr) {
    nvenc::PicParams endOfStream = MakeNvencEndOfStreamParams();
    functions_.encodePicture(session_, &endOfStream);
    if (bitstream_ != nullptr) functions_.destroyBitstreamBuffer(session_, bitstream_);
    if (registeredInput_ != nullptr) functions_.unregisterResource(session_, registeredInput_);
    functions_.destroyEncoder(session_);
  }
  if (library_ != nullptr) FreeLibrary(library_);
}

bool NvencEncoder::Succeeded(nvenc::Status status, const char* label) {
  if (status == nvenc::kSuccess) return true;
  Log("nvenc: %s failed (status %d)", label, static_cast<int>(status));
  return false;
}

bool NvencEncoder::LoadDriver() {
  // The driver installs the library in the system folder; searching only
  // there means a file of that name planted beside the program (a Downloads
  // folder) is never loaded into the recorder.
  library_ = LoadLibraryExW(L"nvEncodeAPI64.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library_ == nullptr) {
    Log("nvenc: nvEncodeAPI64.dll not found (NVIDIA driver missing?)");
    return false;
  }
  const auto getMaxVersion = LookUp<nvenc::GetMaxSupportedVersionFn>(library_, "NvEncodeAPIGetMaxSupportedVersion");
  const auto createInstance = LookUp<nvenc::CreateInstanceFn>(library_, "NvEncodeAPICreateInstance");
  if (getMaxVersion == nullptr || createInstance == nullptr) {
    Log("nvenc: entry points missing in nvEncodeAPI64.dll");
    return false;
  }
  uint32_t maxVersion = 0;
  if (!Succeeded(getMaxVersion(&maxVersion), "NvEncodeAPIGetMaxSupportedVersion")) return false;
  if (!CheckNvencDriverVersion(maxVersion)) return false;

  functions_ = nvenc::Zeroed<nvenc::FunctionList>();
  functions_.version = nvenc::kFunctionListVersion;
  if (!Succeeded(createInstance(&functions_), "NvEncodeAPICreateInstance")) return false;
  // A driver that leaves one of our entries empty cannot be used; calling
  // through it would crash.
  const bool complete = functions_.openEncodeSessionEx && functions_.getEncodeCaps &&
                        functions_.getEncodePresetConfigEx &&
                        functions_.initializeEncoder && functions_.registerResource &&
                        functions_.createBitstreamBuffer && functions_.getSequenceParams &&
                        functions_.mapInputResource && functions_.encodePicture && functions_.lockBitstream &&
                        functions_.unlockBitstream && functions_.unmapInputResource &&
                        functions_.destroyBitstreamBuffer && functions_.unregisterResource &&
                        functions_.destroyEncoder;
  if (!complete) {
    Log("nvenc: entry points missing in nvEncodeAPI64.dll");
    return false;
  }
  return true;
}

bool NvencEncoder::OpenSession(void* device) {
  auto params = nvenc::Zeroed<nvenc::OpenSessionParams>();
  params.version = nvenc::kOpenSessionParamsVersion;
  params.deviceType = nvenc::kDeviceTypeDirectX;
  params.device = device;
  params.apiVersion = nvenc::kApiVersion;
  void* session = nullptr;
  const nvenc::Status status = functions_.openEncodeSessionEx(&params, &session);
  if (status != nvenc::kSuccess) {
    // A handle returned with a failure still has to be closed.
    if (session != nullptr) functions_.destroyEncoder(session);
    return Succeeded(status, "open session");
  }
  session_ = session;
  return true;
}

bool NvencEncoder::CheckSize() {
  int32_t limits[2] = {0, 0};
  const uint32_t caps[2] = {nvenc::kCapsWidthMax, nvenc::kCapsHeightMax};
  for (int i = 0; i < 2; ++i) {
    auto query = nvenc::Zeroed<nvenc::CapsParam>();
    query.version = nvenc::kCapsParamVersion;
    query.capsToQuery = caps[i];
    if (!Succeeded(functions_.getEncodeCaps(session_, nvenc::kCodecH264Guid, &query, &limits[i]), "get caps")) {
      return false;
    }
  }
  return CheckNvencSize(config_, limits[0], limits[1]);
}

bool NvencEncoder::Initialize(GpuDevice* device, GpuTexture* input, const EncoderConfig& config) {
  config_ = config;
  DeriveBitrates(config_);
  if (!LoadDriver()) return false;
  if (!OpenSession(reinterpret_cast<void*>(device))) return false;
  if (!CheckSize()) return false;

  auto preset = nvenc::Zeroed<nvenc::PresetConfig>();
  preset.version = nvenc::kPresetConfigVersion;
  preset.presetCfg.version = nvenc::kConfigVersion;
  if (!Succeeded(functions_.getEncodePresetConfigEx(session_, nvenc::kCodecH264Guid, NvencPresetGuid(config_.preset),
                                                    nvenc::kTuningHighQuality, &preset),
                 "get preset")) {
    return false;
  }
  nvenc::Config encodeConfig = preset.presetCfg;
  ApplyNvencSettings(encodeConfig, config_);

  nvenc::InitializeParams initialize = MakeNvencInitializeParams(config_, &encodeConfig);
  if (!Succeeded(functions_.initializeEncoder(session_, &initialize), "initialize")) return false;

  nvenc::RegisterResource registration = MakeNvencRegisterResource(config_, reinterpret_cast<void*>(input));
  if (!Succeeded(functions_.registerResource(session_, &registration), "register input")) return false;
  registeredInput_ = registration.registeredResource;

  auto buffer = nvenc::Zeroed<nvenc::CreateBitstreamBuffer>();
  buffer.version = nvenc::kCreateBitstreamBufferVersion;
  if (!Succeeded(functions_.createBitstreamBuffer(session_, &buffer), "create bitstream buffer")) return false;
  bitstream_ = buffer.bitstreamBuffer;

  uint8_t header[kSequenceHeaderCapacity] = {};
  uint32_t headerSize = 0;
  auto sequence = nvenc::Zeroed<nvenc::SequenceParamPayload>();
  sequence.version = nvenc::kSequenceParamPayloadVersion;
  sequence.inBufferSize = kSequenceHeaderCapacity;
  sequence.spsId = 0;
  sequence.ppsId = 0;
  sequence.spsppsBuffer = header;
  sequence.outSpsPpsPayloadSize = &headerSize;
  if (!Succeeded(functions_.getSequenceParams(session_, &sequence), "get SPS/PPS")) return false;
  const std::span<const uint8_t> headerBytes(header, std::min(headerSize, kSequenceHeaderCapacity));
  if (!StoreNvencParameterSets(headerBytes, track_)) return false;

  track_.kind = 0;
  track_.width = config_.width;
  track_.height = config_.height;
  track_.fps = config_.fps;
  LogNvencOpened(config_);
  return true;
}

bool NvencEncoder::Encode(int64_t pts, int64_t duration, bool forceKeyframe, PacketList& packets) {
  if (session_ == nullptr) return false;
  auto map = nvenc::Zeroed<nvenc::MapInputResource>();
  map.version = nvenc::kMapInputResourceVersion;
  map.registeredResource = registeredInput_;
  if (!Succeeded(functions_.mapInputResource(session_, &map), "map input")) return false;

  bool ok = true;
  nvenc::PicParams picture =
      MakeNvencPicParams(config_, map.mappedResource, map.mappedBufferFmt, bitstream_, pts, duration, forceKeyframe);
  const nvenc::Status status = functions_.encodePicture(session_, &picture);
  if (status == nvenc::kErrNeedMoreInput) {
    // Buffered by the encoder; its output comes with a later picture.
  } else if (!Succeeded(status, "encode picture")) {
    ok = false;
  } else {
    auto lock = nvenc::Zeroed<nvenc::LockBitstream>();
    lock.version = nvenc::kLockBitstreamVersion;
    lock.flags = 0;  // wait for the picture
    lock.outputBitstream = bitstream_;
    if (!Succeeded(functions_.lockBitstream(session_, &lock), "lock bitstream")) {
      ok = false;
    } else {
      EncodedPacket packet = MakeNvencPacket(lock, duration);
      // The packet was copied out while the buffer was locked, so it is
      // complete and valid whatever the unlock says: it is delivered and the
      // call still succeeds. Dropping it would break the reference chain of
      // every later picture up to the next IDR, and a buffer that stays
      // locked fails the next picture's lock, which is counted there.
      Succeeded(functions_.unlockBitstream(session_, bitstream_), "unlock bitstream");
      packets.push_back(std::make_shared<const EncodedPacket>(std::move(packet)));
    }
  }
  if (!Succeeded(functions_.unmapInputResource(session_, map.mappedResource), "unmap input")) ok = false;
  return ok;
}

bool NvencEncoder::Drain(PacketList& /*packets*/) { return true; }

}  // namespace kp
