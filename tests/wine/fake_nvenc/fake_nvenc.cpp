// A stand-in for the NVIDIA driver's encode library, for tests under Wine.
// It exports the library's two entry points and fills the function table
// with fakes that check every structure the program passes against the
// published binary layout (version word, the fields the program sets, and
// that reserved space up to the structure's documented size is zero),
// record the order of calls, and return the statuses a test scripts. It
// produces small Annex-B access units (SPS, PPS and AUD included) so the
// program's packet handling can be checked end to end.
//
// Deliberately independent of the program's own declarations: every field
// is read at its byte offset, every constant written out.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "fake_nvenc_control.h"

namespace {

using kp::fakenvenc::Control;
namespace call = kp::fakenvenc;

using Status = int32_t;
constexpr Status kSuccess = 0;
constexpr Status kNeedMoreInput = 17;
constexpr Status kUnimplemented = 22;

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16);

constexpr Guid kH264 = {0x6bc82762, 0x4e63, 0x4ca4, {0xaa, 0x85, 0x1e, 0x50, 0xf3, 0x21, 0xf6, 0xbf}};
constexpr Guid kHighProfile = {0xe7cbc309, 0x4f7a, 0x4b89, {0xaf, 0x2a, 0xd5, 0x37, 0xc9, 0x2b, 0xe3, 0x10}};
constexpr Guid kAutoProfile = {0xbfd6f8e7, 0x233c, 0x4341, {0x8b, 0x3e, 0x48, 0x18, 0x52, 0x38, 0x03, 0xf4}};
constexpr Guid kPresets[7] = {
    {0xfc0a8d3e, 0x45f8, 0x4cf8, {0x80, 0xc7, 0x29, 0x88, 0x71, 0x59, 0x0e, 0xbf}},
    {0xf581cfb8, 0x88d6, 0x4381, {0x93, 0xf0, 0xdf, 0x13, 0xf9, 0xc2, 0x7d, 0xab}},
    {0x36850110, 0x3a07, 0x441f, {0x94, 0xd5, 0x36, 0x70, 0x63, 0x1f, 0x91, 0xf6}},
    {0x90a7b826, 0xdf06, 0x4862, {0xb9, 0xd2, 0xcd, 0x6d, 0x73, 0xa0, 0x86, 0x81}},
    {0x21c6e6b4, 0x297a, 0x4cba, {0x99, 0x8f, 0xb6, 0xcb, 0xde, 0x72, 0xad, 0xe3}},
    {0x8e75c279, 0x6299, 0x4ab6, {0x83, 0x02, 0x0b, 0x21, 0x5a, 0x33, 0x5c, 0xf5}},
    {0x84848c12, 0x6f71, 0x4c13, {0x93, 0x1b, 0x53, 0xe2, 0x83, 0xf5, 0x79, 0x74}},
};

bool Same(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof(Guid)) == 0; }

// The API 13.1 version words, as published.
constexpr uint32_t kApi = 0x0100000D;
constexpr uint32_t kVerOpenSession = 0x7101000D;
constexpr uint32_t kVerPresetConfig = 0xF105000D;
constexpr uint32_t kVerConfig = 0xF109000D;
constexpr uint32_t kVerRcParams = 0x7101000D;
constexpr uint32_t kVerInitialize = 0xF107000D;
constexpr uint32_t kVerRegister = 0x7105000D;
constexpr uint32_t kVerCreateBitstream = 0x7101000D;
constexpr uint32_t kVerSequenceParams = 0x7101000D;
constexpr uint32_t kVerMap = 0x7104000D;
constexpr uint32_t kVerPicParams = 0xF107000D;
constexpr uint32_t kVerLock = 0xF102000D;
constexpr uint32_t kVerFunctionList = 0x7102000D;

// Handles this driver hands out.
void* const kSession = reinterpret_cast<void*>(uintptr_t{0x5E5510});
void* const kRegistered = reinterpret_cast<void*>(uintptr_t{0x4E6150});
void* const kBitstream = reinterpret_cast<void*>(uintptr_t{0xB175});
void* const kMapped = reinterpret_cast<void*>(uintptr_t{0x3A99ED});

// Marker values of the preset configuration that the program must keep.
constexpr uint32_t kPresetGop = 250;
constexpr int32_t kPresetFrameIntervalP = 3;
constexpr uint32_t kPresetMvPrecision = 3;
constexpr uint32_t kPresetRcFlags = 0x20 | 0x04 | 0x5000;  // look-ahead, initial QP, AQ strength 5
constexpr uint32_t kPresetMultiPass = 2;
constexpr uint32_t kPresetH264Flags = 0x40;  // AUD output
constexpr uint32_t kPresetMaxRefFrames = 4;
constexpr uint32_t kPresetTiming = 1;

constexpr uint8_t kSps[] = {0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78};
constexpr uint8_t kPps[] = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};

Control g_control;

// State of the open session.
struct Session {
  bool open = false;
  bool initialized = false;
  bool mapped = false;
  bool locked = false;
  bool repeatSpsPps = false;
  Guid preset{};
  uint32_t width = 0;
  uint32_t height = 0;
  int32_t pictureIndex = 0;
  bool pendingIdr = false;
  uint64_t pendingTimeStamp = 0;
  uint64_t pendingDuration = 0;
  uint8_t output[128] = {};
  uint32_t outputSize = 0;
  bool haveOutput = false;
};
Session g_session;

void Error(const char* format, ...) {
  ++g_control.errorCount;
  const size_t used = std::strlen(g_control.errors);
  if (used + 2 >= sizeof g_control.errors) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_control.errors + used, sizeof g_control.errors - used - 1, format, args);
  va_end(args);
  std::strncat(g_control.errors, "\n", sizeof g_control.errors - std::strlen(g_control.errors) - 1);
}

// Records the call; returns the scripted failure status for it, or success.
Status Record(int32_t which) {
  if (g_control.callCount < kp::fakenvenc::kMaxCalls) g_control.calls[g_control.callCount++] = which;
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

void Expect32(const char* what, const void* base, size_t offset, uint32_t expected) {
  const uint32_t value = Get<uint32_t>(base, offset);
  if (value != expected) Error("%s: +%zu is 0x%08X, expected 0x%08X", what, offset, value, expected);
}

void ExpectPtr(const char* what, const void* base, size_t offset, const void* expected) {
  const void* value = Get<void*>(base, offset);
  if (value != expected) Error("%s: +%zu is %p, expected %p", what, offset, value, expected);
}

void ExpectZero(const char* what, const void* base, size_t from, size_t to) {
  const uint8_t* bytes = static_cast<const uint8_t*>(base);
  for (size_t i = from; i < to; ++i) {
    if (bytes[i] != 0) {
      Error("%s: byte +%zu is 0x%02X, expected zero (reserved)", what, i, bytes[i]);
      return;
    }
  }
}

bool CheckSession(const char* what, void* encoder) {
  if (encoder != kSession || !g_session.open) {
    Error("%s: called with session %p", what, encoder);
    return false;
  }
  return true;
}

// --- The function table -------------------------------------------------

Status OpenEncodeSessionEx(void* params, void** encoder) {
  const Status status = Record(call::kOpenSession);
  const char* what = "open session";
  if (params == nullptr || encoder == nullptr) {
    Error("%s: null argument", what);
    return 6;
  }
  Expect32(what, params, 0, kVerOpenSession);
  Expect32(what, params, 4, 0);  // DirectX device
  g_control.device = Get<void*>(params, 8);
  if (g_control.device == nullptr) Error("%s: no device", what);
  ExpectPtr(what, params, 16, nullptr);
  Expect32(what, params, 24, kApi);
  ExpectZero(what, params, 28, 1552);
  if (status != kSuccess) {
    *encoder = g_control.openFailureReturnsHandle ? kSession : nullptr;
    g_session = Session{};
    g_session.open = g_control.openFailureReturnsHandle != 0;
    return status;
  }
  g_session = Session{};
  g_session.open = true;
  *encoder = kSession;
  return kSuccess;
}

Status GetEncodePresetConfigEx(void* encoder, Guid encodeGuid, Guid presetGuid, uint32_t tuning, void* preset) {
  const Status status = Record(call::kGetPreset);
  const char* what = "get preset";
  if (!CheckSession(what, encoder) || preset == nullptr) return 8;
  if (!Same(encodeGuid, kH264)) Error("%s: codec is not H.264", what);
  g_control.presetLevel = 0;
  for (uint32_t i = 0; i < 7; ++i) {
    if (Same(presetGuid, kPresets[i])) g_control.presetLevel = i + 1;
  }
  if (g_control.presetLevel == 0) Error("%s: unknown preset GUID", what);
  g_control.tuning = tuning;
  Expect32(what, preset, 0, kVerPresetConfig);
  Expect32(what, preset, 4, 0);
  Expect32(what, preset, 8, kVerConfig);  // the embedded configuration's own version
  ExpectZero(what, preset, 12, 5128);
  if (status != kSuccess) return status;
  g_session.preset = presetGuid;

  // The preset's configuration (offsets of the configuration + 8).
  uint8_t* config = static_cast<uint8_t*>(preset) + 8;
  Put(config, 4, kAutoProfile);
  Put(config, 20, kPresetGop);
  Put(config, 24, kPresetFrameIntervalP);
  Put(config, 32, uint32_t{1});  // frame mode
  Put(config, 36, kPresetMvPrecision);
  Put(config, 40, kVerRcParams);
  Put(config, 44, uint32_t{0});  // constant QP
  Put(config, 60, uint32_t{5'000'000});
  Put(config, 76, kPresetRcFlags);
  Put(config, 128, uint8_t{33});
  Put(config, 129, uint8_t{128});
  Put(config, 130, uint16_t{16});  // look-ahead depth
  Put(config, 140, kPresetMultiPass);
  Put(config, 168, kPresetH264Flags);
  Put(config, 176, kPresetGop);
  Put(config, 168 + 60, kPresetMaxRefFrames);
  Put(config, 256, uint32_t{0});  // limited range
  Put(config, 292, kPresetTiming);
  Put(config, 360, uint32_t{0});  // chroma format left for the program to set
  return kSuccess;
}

Status InitializeEncoder(void* encoder, void* params) {
  const Status status = Record(call::kInitialize);
  const char* what = "initialize";
  if (!CheckSession(what, encoder) || params == nullptr) return 8;
  Expect32(what, params, 0, kVerInitialize);
  if (!Same(Get<Guid>(params, 4), kH264)) Error("%s: codec is not H.264", what);
  if (!Same(Get<Guid>(params, 20), g_session.preset)) Error("%s: preset differs from the one queried", what);
  g_control.width = Get<uint32_t>(params, 36);
  g_control.height = Get<uint32_t>(params, 40);
  Expect32(what, params, 44, g_control.width);   // display aspect = size
  Expect32(what, params, 48, g_control.height);
  g_control.frameRateNum = Get<uint32_t>(params, 52);
  g_control.frameRateDen = Get<uint32_t>(params, 56);
  Expect32(what, params, 60, 0);  // synchronous
  Expect32(what, params, 64, 1);  // picture-type decision on
  ExpectZero(what, params, 68, 88);
  ExpectZero(what, params, 96, 136);
  Expect32(what, params, 136, 1);  // high quality tuning
  if (g_control.tuning != 1) Error("%s: preset queried with tuning %u", what, g_control.tuning);
  ExpectZero(what, params, 140, 1800);
  const void* config = Get<void*>(params, 88);
  if (config == nullptr) {
    Error("%s: no configuration", what);
    return 8;
  }
  Expect32("configuration", config, 0, kVerConfig);
  g_control.profileIsHigh = Same(Get<Guid>(config, 4), kHighProfile) ? 1 : 0;
  g_control.gopLength = Get<uint32_t>(config, 20);
  g_control.frameIntervalP = Get<int32_t>(config, 24);
  g_control.rateControlMode = Get<uint32_t>(config, 44);
  g_control.averageBitRate = Get<uint32_t>(config, 60);
  g_control.maxBitRate = Get<uint32_t>(config, 64);
  g_control.rcFlags = Get<uint32_t>(config, 76);
  g_control.targetQuality = Get<uint8_t>(config, 128);
  g_control.targetQualityLsb = Get<uint8_t>(config, 129);
  g_control.lookaheadDepth = Get<uint16_t>(config, 130);
  g_control.h264Flags = Get<uint32_t>(config, 168);
  g_control.idrPeriod = Get<uint32_t>(config, 176);
  g_control.vuiSignalType = Get<uint32_t>(config, 248);
  g_control.vuiFormat = Get<uint32_t>(config, 252);
  g_control.vuiFullRange = Get<uint32_t>(config, 256);
  g_control.vuiColourDescription = Get<uint32_t>(config, 260);
  g_control.vuiPrimaries = Get<uint32_t>(config, 264);
  g_control.vuiTransfer = Get<uint32_t>(config, 268);
  g_control.vuiMatrix = Get<uint32_t>(config, 272);
  g_control.chromaFormatIdc = Get<uint32_t>(config, 360);
  // What the preset set and the program must not touch.
  Expect32("configuration (preset value)", config, 32, 1);
  Expect32("configuration (preset value)", config, 36, kPresetMvPrecision);
  Expect32("configuration (preset value)", config, 40, kVerRcParams);
  Expect32("configuration (preset value)", config, 140, kPresetMultiPass);
  Expect32("configuration (preset value)", config, 168 + 60, kPresetMaxRefFrames);
  Expect32("configuration (preset value)", config, 292, kPresetTiming);
  if ((g_control.rcFlags & ~0x28u) != (kPresetRcFlags & ~0x28u)) Error("configuration: preset RC flags changed");
  if ((g_control.h264Flags & kPresetH264Flags) == 0) Error("configuration: preset H.264 flags dropped");
  ExpectZero("configuration", config, 1960, 3584);
  if (status != kSuccess) return status;
  g_session.initialized = true;
  g_session.repeatSpsPps = (g_control.h264Flags & 0x1000) != 0;
  g_session.width = g_control.width;
  g_session.height = g_control.height;
  return kSuccess;
}

Status RegisterResource(void* encoder, void* params) {
  const Status status = Record(call::kRegister);
  const char* what = "register";
  if (!CheckSession(what, encoder) || params == nullptr) return 8;
  if (!g_session.initialized) Error("%s: before initialize", what);
  Expect32(what, params, 0, kVerRegister);
  Expect32(what, params, 4, 0);  // DirectX resource
  Expect32(what, params, 8, g_session.width);
  Expect32(what, params, 12, g_session.height);
  Expect32(what, params, 16, 0);  // pitch
  Expect32(what, params, 20, 0);  // subresource
  g_control.texture = Get<void*>(params, 24);
  if (g_control.texture == nullptr) Error("%s: no texture", what);
  ExpectPtr(what, params, 32, nullptr);
  Expect32(what, params, 40, 1);  // NV12
  Expect32(what, params, 44, 0);  // input image
  ExpectZero(what, params, 48, 1536);
  if (status != kSuccess) return status;
  Put(params, 32, kRegistered);
  return kSuccess;
}

Status CreateBitstreamBuffer(void* encoder, void* params) {
  const Status status = Record(call::kCreateBitstream);
  const char* what = "create bitstream buffer";
  if (!CheckSession(what, encoder) || params == nullptr) return 8;
  Expect32(what, params, 0, kVerCreateBitstream);
  ExpectZero(what, params, 4, 776);
  if (status != kSuccess) return status;
  Put(params, 16, kBitstream);
  return kSuccess;
}

Status GetSequenceParams(void* encoder, void* params) {
  const Status status = Record(call::kGetSequenceParams);
  const char* what = "sequence params";
  if (!CheckSession(what, encoder) || params == nullptr) return 8;
  Expect32(what, params, 0, kVerSequenceParams);
  Expect32(what, params, 4, 1024);
  Expect32(what, params, 8, 0);
  Expect32(what, params, 12, 0);
  uint8_t* buffer = Get<uint8_t*>(params, 16);
  uint32_t* size = Get<uint32_t*>(params, 24);
  if (buffer == nullptr || size == nullptr) {
    Error("%s: no buffer or size", what);
    return 6;
  }
  ExpectZero(what, params, 32, 1544);
  if (status != kSuccess) return status;
  uint32_t n = 0;
  const uint8_t startCode[] = {0, 0, 0, 1};
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
  const Status status = Record(call::kMap);
  const char* what = "map";
  if (!CheckSession(what, encoder) || params == nullptr) return 8;
  Expect32(what, params, 0, kVerMap);
  Expect32(what, params, 4, 0);
  ExpectPtr(what, params, 8, nullptr);
  ExpectPtr(what, params, 16, kRegistered);
  ExpectPtr(what, params, 24, nullptr);
  ExpectZero(what, params, 32, 1544);
  if (g_session.mapped) Error("%s: input mapped twice", what);
  if (status != kSuccess) return status;
  g_session.mapped = true;
  Put(params, 24, kMapped);
  Put(params, 32, uint32_t{1});
  return kSuccess;
}

void AppendUnit(uint8_t type, const uint8_t* body, uint32_t bodySize) {
  uint8_t* out = g_session.output + g_session.outputSize;
  out[0] = 0, out[1] = 0, out[2] = 0, out[3] = 1, out[4] = type;
  std::memcpy(out + 5, body, bodySize);
  g_session.outputSize += 5 + bodySize;
}

Status EncodePicture(void* encoder, void* params) {
  const char* what = "encode";
  if (params != nullptr && (Get<uint32_t>(params, 16) & 0x8) != 0) {
    Record(call::kEncodeEos);
    if (!CheckSession("end of stream", encoder)) return 8;
    Expect32("end of stream", params, 0, kVerPicParams);
    Expect32("end of stream", params, 16, 0x8);
    ExpectZero("end of stream", params, 4, 16);
    ExpectZero("end of stream", params, 20, 3360);
    return kSuccess;
  }
  const Status status = Record(call::kEncode);
  if (!CheckSession(what, encoder) || params == nullptr) return 8;
  Expect32(what, params, 0, kVerPicParams);
  Expect32(what, params, 4, g_session.width);
  Expect32(what, params, 8, g_session.height);
  Expect32(what, params, 12, g_session.width);  // pitch = width
  const uint32_t flags = Get<uint32_t>(params, 16);
  if (flags != 0 && flags != 0x6) Error("%s: picture flags 0x%X", what, flags);
  Expect32(what, params, 20, 0);
  ExpectPtr(what, params, 40, kMapped);
  ExpectPtr(what, params, 48, kBitstream);
  ExpectPtr(what, params, 56, nullptr);
  Expect32(what, params, 64, 1);  // the mapped format
  Expect32(what, params, 68, 1);  // frame
  Expect32(what, params, 72, 0);
  ExpectZero(what, params, 76, 3360);
  if (!g_session.mapped) Error("%s: input not mapped", what);
  g_control.lastPicFlags = flags;
  g_control.lastTimeStamp = Get<uint64_t>(params, 24);
  g_control.lastDuration = Get<uint64_t>(params, 32);
  const int32_t index = g_session.pictureIndex++;
  g_control.pictures = g_session.pictureIndex;
  if (status != kSuccess) return status;
  if (index == g_control.needMoreInputOnPicture) return kNeedMoreInput;

  const bool idr = index == 0 || (flags & 0x2) != 0;
  g_session.outputSize = 0;
  const uint8_t aud[] = {0x10};
  AppendUnit(0x09, aud, sizeof aud);
  if (idr && (g_session.repeatSpsPps || (flags & 0x4) != 0)) {
    AppendUnit(kSps[0], kSps + 1, sizeof kSps - 1);
    AppendUnit(kPps[0], kPps + 1, sizeof kPps - 1);
  }
  const uint8_t slice[] = {0x88, 0x84, 0x00, 0x33, static_cast<uint8_t>(index)};
  AppendUnit(idr ? 0x65 : 0x41, slice, sizeof slice);
  g_session.pendingIdr = idr;
  g_session.pendingTimeStamp = g_control.lastTimeStamp;
  g_session.pendingDuration = g_control.lastDuration;
  g_session.haveOutput = true;
  return kSuccess;
}

Status LockBitstream(void* encoder, void* params) {
  const Status status = Record(call::kLock);
  const char* what = "lock";
  if (!CheckSession(what, encoder) || params == nullptr) return 8;
  Expect32(what, params, 0, kVerLock);
  Expect32(what, params, 4, 0);  // waiting lock
  ExpectPtr(what, params, 8, kBitstream);
  ExpectPtr(what, params, 16, nullptr);
  ExpectZero(what, params, 24, 1544);
  if (!g_session.haveOutput) Error("%s: nothing to lock", what);
  if (status != kSuccess) return status;
  g_session.locked = true;
  g_session.haveOutput = false;
  Put(params, 36, g_session.outputSize);
  Put(params, 40, g_session.pendingTimeStamp);
  Put(params, 48, g_session.pendingDuration);
  Put(params, 56, static_cast<void*>(g_session.output));
  Put(params, 64, uint32_t{g_session.pendingIdr ? 3u : 0u});
  Put(params, 68, uint32_t{1});
  return kSuccess;
}

Status UnlockBitstream(void* encoder, void* buffer) {
  const Status status = Record(call::kUnlock);
  if (!CheckSession("unlock", encoder)) return 8;
  if (buffer != kBitstream) Error("unlock: buffer %p", buffer);
  if (!g_session.locked) Error("unlock: not locked");
  g_session.locked = false;
  return status;
}

Status UnmapInputResource(void* encoder, void* mapped) {
  const Status status = Record(call::kUnmap);
  if (!CheckSession("unmap", encoder)) return 8;
  if (mapped != kMapped) Error("unmap: resource %p", mapped);
  if (!g_session.mapped) Error("unmap: not mapped");
  g_session.mapped = false;
  return status;
}

Status DestroyBitstreamBuffer(void* encoder, void* buffer) {
  const Status status = Record(call::kDestroyBitstream);
  if (!CheckSession("destroy bitstream buffer", encoder)) return 8;
  if (buffer != kBitstream) Error("destroy bitstream buffer: buffer %p", buffer);
  return status;
}

Status UnregisterResource(void* encoder, void* registered) {
  const Status status = Record(call::kUnregister);
  if (!CheckSession("unregister", encoder)) return 8;
  if (registered != kRegistered) Error("unregister: resource %p", registered);
  if (g_session.mapped) Error("unregister: still mapped");
  return status;
}

Status DestroyEncoder(void* encoder) {
  const Status status = Record(call::kDestroyEncoder);
  if (!CheckSession("destroy encoder", encoder)) return 8;
  g_session = Session{};
  return status;
}

// Slots the program must not use: each records the call and refuses it.
template <int Slot>
Status UnexpectedSlot(void*) {
  Record(call::kUnexpected);
  Error("function table slot %d called", Slot);
  return kUnimplemented;
}

template <typename F>
void PutSlot(void* table, int slot, F function) {
  Put(table, 8 + 8 * static_cast<size_t>(slot), reinterpret_cast<void*>(function));
}

template <int... Slots>
void PutUnexpected(void* table, std::integer_sequence<int, Slots...>) {
  (PutSlot(table, Slots, &UnexpectedSlot<Slots>), ...);
}

}  // namespace

extern "C" {

__declspec(dllexport) Status NvEncodeAPIGetMaxSupportedVersion(uint32_t* version) {
  const Status status = Record(call::kGetMaxVersion);
  if (version == nullptr) {
    Error("NvEncodeAPIGetMaxSupportedVersion: null pointer");
    return 6;
  }
  if (status != kSuccess) return status;
  *version = g_control.maxVersion;
  return kSuccess;
}

__declspec(dllexport) Status NvEncodeAPICreateInstance(void* table) {
  const Status status = Record(call::kCreateInstance);
  if (table == nullptr) {
    Error("NvEncodeAPICreateInstance: null table");
    return 6;
  }
  Expect32("function table", table, 0, kVerFunctionList);
  ExpectZero("function table", table, 4, 2552);
  if (status != kSuccess) return status;
  PutUnexpected(table, std::make_integer_sequence<int, 43>{});
  PutSlot(table, 11, &InitializeEncoder);
  PutSlot(table, 14, &CreateBitstreamBuffer);
  PutSlot(table, 15, &DestroyBitstreamBuffer);
  PutSlot(table, 16, &EncodePicture);
  PutSlot(table, 17, &LockBitstream);
  PutSlot(table, 18, &UnlockBitstream);
  PutSlot(table, 22, &GetSequenceParams);
  PutSlot(table, 25, &MapInputResource);
  PutSlot(table, 26, &UnmapInputResource);
  PutSlot(table, 27, &DestroyEncoder);
  PutSlot(table, 29, &OpenEncodeSessionEx);
  PutSlot(table, 30, &RegisterResource);
  PutSlot(table, 31, &UnregisterResource);
  PutSlot(table, 39, &GetEncodePresetConfigEx);
  PutSlot(table, 33, static_cast<void*>(nullptr));  // reserved slot stays empty
  return kSuccess;
}

// Test hook: the script and record of this fake.
__declspec(dllexport) Control* FakeNvencControlBlock() { return &g_control; }

}  // extern "C"
