// A stand-in for the NVIDIA driver's encode library, for tests under Wine.
// It offers API 13.0 (or what a test scripts) and reports the GPU's size
// limits (4096 x 4096 unless scripted). It fills the function table with
// fakes that check every structure the program passes against the published
// API 13.0 layout (the version word,
// the fields the program sets, zero everywhere else up to the documented
// size), record the calls in order, return the statuses a test scripts and
// produce small Annex-B access units (delimiter, SPS and PPS included).
// Deliberately independent of the program's declarations: every field is
// read at its byte offset, every constant written out.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "fake_nvenc_control.h"

namespace {

namespace fake = kp::fakenvenc;
using Status = int32_t;
constexpr Status kSuccess = 0;
constexpr Status kInvalidParam = 8;
constexpr Status kNeedMoreInput = 17;

struct Guid {
  uint8_t bytes[16];
  bool operator==(const Guid& other) const { return std::memcmp(bytes, other.bytes, 16) == 0; }
};
constexpr Guid kH264 = {{0x62, 0x27, 0xc8, 0x6b, 0x63, 0x4e, 0xa4, 0x4c, 0xaa, 0x85, 0x1e, 0x50, 0xf3, 0x21, 0xf6, 0xbf}};
// P4, the preset of the program's default settings.
constexpr Guid kPresetP4 = {{0x26, 0xb8, 0xa7, 0x90, 0x06, 0xdf, 0x62, 0x48, 0xb9, 0xd2, 0xcd, 0x6d, 0x73, 0xa0, 0x86, 0x81}};
constexpr uint8_t kSps[] = {0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78};
constexpr uint8_t kPps[] = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
constexpr uint32_t kPresetMvPrecision = 3;  // set in the preset; the program must keep it

// Handles this driver hands out.
constexpr uint64_t kSession = 0x5E5510, kRegistered = 0x4E6150, kBitstream = 0xB175, kMapped = 0x3A99ED;

fake::Control g_control;
struct Session {
  bool open = false;
  int32_t pictures = 0;
  uint8_t output[128] = {};
  uint32_t outputSize = 0;
  bool idr = false;
  uint64_t timeStamp = 0, duration = 0;
} g_session;

void Error(const char* format, ...) {
  const size_t used = std::strlen(g_control.errors);
  if (used + 200 >= sizeof g_control.errors) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_control.errors + used, 198, format, args);
  va_end(args);
  std::strcat(g_control.errors, "\n");
}

// Records the call; returns the scripted failure status for it, or success.
Status Record(int32_t which) {
  if (g_control.callCount < 256) g_control.calls[g_control.callCount++] = which;
  return g_control.failCall == which ? g_control.failStatus : kSuccess;
}

template <typename T>
T Get(const void* base, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
  return value;
}

template <typename T>
void Put(void* base, size_t offset, T value) {
  std::memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}

uint64_t Handle(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }
void* Pointer(uint64_t handle) { return reinterpret_cast<void*>(static_cast<uintptr_t>(handle)); }

// A field of a structure: offset, size and expected value (any value when `any`).
struct Field {
  size_t at;
  uint64_t value;
  size_t size = 4;
  bool any = false;
};
Field Any(size_t at, size_t size = 4) { return {at, 0, size, true}; }
Field Ptr(size_t at, uint64_t handle) { return {at, handle, 8}; }

// Checks the listed fields and that every other byte below `size` is zero.
void Expect(const char* what, const void* base, size_t size, std::initializer_list<Field> fields) {
  const auto* bytes = static_cast<const uint8_t*>(base);
  std::vector<char> listed(size, 0);
  for (const Field& f : fields) {
    uint64_t value = 0;
    std::memcpy(&value, bytes + f.at, f.size);
    if (!f.any && value != f.value) {
      Error("%s: +%zu is 0x%llX, expected 0x%llX", what, f.at, static_cast<unsigned long long>(value),
            static_cast<unsigned long long>(f.value));
    }
    std::memset(listed.data() + f.at, 1, f.size);
  }
  for (size_t i = 0; i < size; ++i) {
    if (!listed[i] && bytes[i] != 0) {
      Error("%s: byte +%zu is 0x%02X, expected zero", what, i, bytes[i]);
      return;
    }
  }
}

bool CheckSession(const char* what, void* encoder) {
  if (Handle(encoder) == kSession && g_session.open) return true;
  Error("%s: called with session %p", what, encoder);
  return false;
}

// --- The function table ---------------------------------------------------

Status OpenEncodeSessionEx(void* params, void** encoder) {
  const Status status = Record(fake::kOpenSession);
  g_control.device = Get<void*>(params, 8);
  Expect("open session", params, 1552, {{0, 0x7001000D}, Any(8, 8), {24, 0x0000000D}});
  const bool handOut = status == kSuccess || g_control.openFailureReturnsHandle != 0;
  g_session = Session{};
  g_session.open = handOut;
  *encoder = handOut ? Pointer(kSession) : nullptr;
  return status;
}

Status GetEncodePresetConfigEx(void* encoder, Guid codec, Guid preset, uint32_t tuning, void* config) {
  const Status status = Record(fake::kGetPreset);
  if (!CheckSession("get preset", encoder)) return kInvalidParam;
  if (codec != kH264) Error("get preset: codec is not H.264");
  if (preset != kPresetP4) Error("get preset: preset is not P4");
  if (tuning != 1) Error("get preset: tuning %u, expected high quality", tuning);
  Expect("get preset", config, 5128, {{0, 0xF005000D}, {8, 0xF009000D}});
  if (status == kSuccess) Put(config, 8 + 36, kPresetMvPrecision);
  return status;
}

Status GetEncodeCaps(void* encoder, Guid codec, void* params, int32_t* value) {
  const Status status = Record(fake::kGetCaps);
  if (!CheckSession("get caps", encoder)) return kInvalidParam;
  if (codec != kH264) Error("get caps: codec is not H.264");
  const uint32_t which = Get<uint32_t>(params, 4);
  Expect("get caps", params, 256, {{0, 0x7001000D}, Any(4)});
  if (status != kSuccess || value == nullptr) return status == kSuccess ? kInvalidParam : status;
  // NV_ENC_CAPS_WIDTH_MAX is 16, NV_ENC_CAPS_HEIGHT_MAX 17; others are 0 here.
  *value = which == 16 ? g_control.maxWidth : which == 17 ? g_control.maxHeight : 0;
  if (which != 16 && which != 17) Error("get caps: capability %u asked for", which);
  return kSuccess;
}

Status InitializeEncoder(void* encoder, void* params) {
  const Status status = Record(fake::kInitialize);
  if (!CheckSession("initialize", encoder)) return kInvalidParam;
  g_control.width = Get<uint32_t>(params, 36);
  g_control.height = Get<uint32_t>(params, 40);
  g_control.fps = Get<uint32_t>(params, 52);
  Expect("initialize", params, 1800,
         {{0, 0xF007000D}, Any(4, 16), Any(20, 16), Any(36), Any(40), {44, g_control.width}, {48, g_control.height},
          Any(52), {56, 1}, {64, 1}, Any(88, 8), {136, 1}});
  if (Get<Guid>(params, 4) != kH264 || Get<Guid>(params, 20) != kPresetP4) Error("initialize: codec or preset");
  const void* config = Get<void*>(params, 88);
  if (config == nullptr) return kInvalidParam;
  if (Get<uint32_t>(config, 0) != 0xF009000D) Error("configuration: version");
  if (Get<uint32_t>(config, 36) != kPresetMvPrecision) Error("configuration: the preset's values were not kept");
  g_control.gopLength = Get<uint32_t>(config, 20);
  g_control.maxBitRate = Get<uint32_t>(config, 64);
  return status;
}

Status RegisterResource(void* encoder, void* params) {
  const Status status = Record(fake::kRegister);
  if (!CheckSession("register", encoder)) return kInvalidParam;
  g_control.texture = Get<void*>(params, 24);
  Expect("register", params, 1536, {{0, 0x7005000D}, {8, g_control.width}, {12, g_control.height}, Any(24, 8), {40, 1}});
  if (status == kSuccess) Put(params, 32, Pointer(kRegistered));
  return status;
}

Status CreateBitstreamBuffer(void* encoder, void* params) {
  const Status status = Record(fake::kCreateBitstream);
  if (!CheckSession("create bitstream buffer", encoder)) return kInvalidParam;
  Expect("create bitstream buffer", params, 776, {{0, 0x7001000D}});
  if (status == kSuccess) Put(params, 16, Pointer(kBitstream));
  return status;
}

Status GetSequenceParams(void* encoder, void* params) {
  const Status status = Record(fake::kGetSequenceParams);
  if (!CheckSession("sequence params", encoder)) return kInvalidParam;
  Expect("sequence params", params, 1544, {{0, 0x7001000D}, {4, 1024}, Any(16, 8), Any(24, 8)});
  auto* buffer = Get<uint8_t*>(params, 16);
  auto* size = Get<uint32_t*>(params, 24);
  if (buffer == nullptr || size == nullptr || status != kSuccess) return status == kSuccess ? kInvalidParam : status;
  const uint8_t startCode[] = {0, 0, 0, 1};
  uint32_t n = 0;
  std::memcpy(buffer + n, startCode, 4), n += 4;
  std::memcpy(buffer + n, kSps, sizeof kSps), n += sizeof kSps;
  if (!g_control.omitPps) {
    std::memcpy(buffer + n, startCode, 4), n += 4;
    std::memcpy(buffer + n, kPps, sizeof kPps), n += sizeof kPps;
  }
  *size = n;
  return kSuccess;
}

Status MapInputResource(void* encoder, void* params) {
  const Status status = Record(fake::kMap);
  if (!CheckSession("map", encoder)) return kInvalidParam;
  Expect("map", params, 1544, {{0, 0x7004000D}, Ptr(16, kRegistered)});
  if (status != kSuccess) return status;
  Put(params, 24, Pointer(kMapped));
  Put(params, 32, uint32_t{1});  // NV12
  return kSuccess;
}

void AppendUnit(const uint8_t* unit, uint32_t size) {
  uint8_t* out = g_session.output + g_session.outputSize;
  out[0] = 0, out[1] = 0, out[2] = 0, out[3] = 1;
  std::memcpy(out + 4, unit, size);
  g_session.outputSize += 4 + size;
}

Status EncodePicture(void* encoder, void* params) {
  if ((Get<uint32_t>(params, 16) & 0x8) != 0) {
    Record(fake::kEncodeEos);
    if (!CheckSession("end of stream", encoder)) return kInvalidParam;
    Expect("end of stream", params, 3360, {{0, 0xF007000D}, {16, 0x8}});
    return kSuccess;
  }
  const Status status = Record(fake::kEncode);
  if (!CheckSession("encode", encoder)) return kInvalidParam;
  Expect("encode", params, 3360,
         {{0, 0xF007000D}, {4, g_control.width}, {8, g_control.height}, {12, g_control.width}, Any(16), Any(24, 8),
          Any(32, 8), Ptr(40, kMapped), Ptr(48, kBitstream), {64, 1}, {68, 1}});
  g_control.lastPicFlags = Get<uint32_t>(params, 16);
  g_control.lastTimeStamp = Get<uint64_t>(params, 24);
  g_control.lastDuration = Get<uint64_t>(params, 32);
  const int32_t index = g_session.pictures++;
  if (status != kSuccess) return status;
  if (index == g_control.needMoreInputOnPicture) return kNeedMoreInput;

  g_session.idr = index == 0 || (g_control.lastPicFlags & 0x2) != 0;
  g_session.outputSize = 0;
  const uint8_t aud[] = {0x09, 0x10};
  const uint8_t slice[] = {static_cast<uint8_t>(g_session.idr ? 0x65 : 0x41), 0x88, static_cast<uint8_t>(index)};
  AppendUnit(aud, sizeof aud);
  if (g_session.idr) AppendUnit(kSps, sizeof kSps), AppendUnit(kPps, sizeof kPps);
  AppendUnit(slice, sizeof slice);
  g_session.timeStamp = g_control.lastTimeStamp;
  g_session.duration = g_control.lastDuration;
  return kSuccess;
}

Status LockBitstream(void* encoder, void* params) {
  const Status status = Record(fake::kLock);
  if (!CheckSession("lock", encoder)) return kInvalidParam;
  Expect("lock", params, 1544, {{0, 0xF002000D}, Ptr(8, kBitstream)});  // flags 0: a waiting lock
  if (status != kSuccess) return status;
  Put(params, 36, g_session.outputSize);
  Put(params, 40, g_session.timeStamp);
  Put(params, 48, g_session.duration);
  Put(params, 56, static_cast<void*>(g_session.output));
  Put(params, 64, uint32_t{g_session.idr ? 3u : 0u});
  return kSuccess;
}

// Unlock, unmap, destroy bitstream buffer, unregister: a call on one handle.
template <int32_t kCall, uint64_t kHandle>
Status HandleCall(void* encoder, void* handle) {
  const Status status = Record(kCall);
  if (CheckSession("handle call", encoder) && Handle(handle) != kHandle) {
    Error("call %d: handle %p, expected 0x%llX", kCall, handle, static_cast<unsigned long long>(kHandle));
  }
  return status;
}

Status DestroyEncoder(void* encoder) {
  const Status status = Record(fake::kDestroyEncoder);
  if (CheckSession("destroy encoder", encoder)) g_session = Session{};
  return status;
}

template <typename F>
void PutSlot(void* table, int slot, F function) {
  Put(table, 8 + 8 * static_cast<size_t>(slot), reinterpret_cast<void*>(function));
}

}  // namespace

extern "C" {

__declspec(dllexport) Status NvEncodeAPIGetMaxSupportedVersion(uint32_t* version) {
  const Status status = Record(fake::kGetMaxVersion);
  if (status == kSuccess) *version = g_control.maxVersion;
  return status;
}

__declspec(dllexport) Status NvEncodeAPICreateInstance(void* table) {
  const Status status = Record(fake::kCreateInstance);
  Expect("function table", table, 2552, {{0, 0x7002000D}});
  if (status != kSuccess) return status;
  PutSlot(table, 7, &GetEncodeCaps);
  PutSlot(table, 11, &InitializeEncoder);
  PutSlot(table, 14, &CreateBitstreamBuffer);
  PutSlot(table, 15, &HandleCall<fake::kDestroyBitstream, kBitstream>);
  PutSlot(table, 16, &EncodePicture);
  PutSlot(table, 17, &LockBitstream);
  PutSlot(table, 18, &HandleCall<fake::kUnlock, kBitstream>);
  PutSlot(table, 22, &GetSequenceParams);
  PutSlot(table, 25, &MapInputResource);
  PutSlot(table, 26, &HandleCall<fake::kUnmap, kMapped>);
  PutSlot(table, 27, &DestroyEncoder);
  PutSlot(table, 29, &OpenEncodeSessionEx);
  PutSlot(table, 30, &RegisterResource);
  PutSlot(table, 31, &HandleCall<fake::kUnregister, kRegistered>);
  PutSlot(table, 39, &GetEncodePresetConfigEx);
  return kSuccess;
}

// Test hook: the script and record of this fake.
__declspec(dllexport) fake::Control* FakeNvencControlBlock() { return &g_control; }

}  // extern "C"
