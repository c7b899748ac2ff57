// Our own declarations of the part of the NVIDIA encode API (NVENC) the
// program uses: the two exports of the driver library, the function table
// they fill, and the parameter structures, laid out for the x86-64 Windows
// binary interface. Only the members the program sets or reads are named;
// everything else is reserved space that must stay zero, which callers get
// by starting every structure from Zeroed<T>(). Sizes and offsets are pinned
// with static_assert. The types are plain data, so the settings mapping that
// fills them (nvenc_config.h) is portable and unit-tested.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace kp::nvenc {

// The API version the program is written for, and the oldest a driver must
// offer: 13.0, whose structure layouts these declarations match (drivers
// that offer a newer 13.x take 13.0 structures). The structure version
// words embed the minor number, so every one of them is computed from here.
inline constexpr uint32_t kApiMajor = 13;
inline constexpr uint32_t kApiMinor = 0;
inline constexpr uint32_t kApiVersion = kApiMajor | (kApiMinor << 24);

constexpr uint32_t StructVersion(uint32_t number, bool flagged = false) {
  return kApiVersion | (number << 16) | (0x7u << 28) | (flagged ? 0x80000000u : 0u);
}

// The driver reports its highest supported API as (major << 4) | minor.
inline constexpr uint32_t kMinDriverVersion = (kApiMajor << 4) | kApiMinor;

inline constexpr uint32_t kOpenSessionParamsVersion = StructVersion(1);
inline constexpr uint32_t kPresetConfigVersion = StructVersion(5, true);
inline constexpr uint32_t kConfigVersion = StructVersion(9, true);
inline constexpr uint32_t kRcParamsVersion = StructVersion(1);
inline constexpr uint32_t kInitializeParamsVersion = StructVersion(7, true);
inline constexpr uint32_t kRegisterResourceVersion = StructVersion(5);
inline constexpr uint32_t kCreateBitstreamBufferVersion = StructVersion(1);
inline constexpr uint32_t kSequenceParamPayloadVersion = StructVersion(1);
inline constexpr uint32_t kMapInputResourceVersion = StructVersion(4);
inline constexpr uint32_t kPicParamsVersion = StructVersion(7, true);
inline constexpr uint32_t kLockBitstreamVersion = StructVersion(2, true);
inline constexpr uint32_t kFunctionListVersion = StructVersion(2);
inline constexpr uint32_t kCapsParamVersion = StructVersion(1);

// Status codes (NVENCSTATUS, a 4-byte enumeration).
using Status = int32_t;
inline constexpr Status kSuccess = 0;
inline constexpr Status kErrInvalidVersion = 15;
inline constexpr Status kErrNeedMoreInput = 17;

// Enumeration values.
inline constexpr uint32_t kDeviceTypeDirectX = 0;
inline constexpr uint32_t kInputResourceTypeDirectX = 0;
inline constexpr uint32_t kBufferFormatNv12 = 1;
inline constexpr uint32_t kBufferUsageInputImage = 0;
inline constexpr uint32_t kRateControlVbr = 1;
inline constexpr uint32_t kTuningHighQuality = 1;
inline constexpr uint32_t kPicStructFrame = 1;
inline constexpr uint32_t kPictureTypeIdr = 3;
inline constexpr uint32_t kVideoFormatUnspecified = 5;
inline constexpr uint32_t kColourBt709 = 1;  // primaries, transfer and matrix alike
inline constexpr uint32_t kChromaFormat420 = 1;

// Capabilities asked for with the caps query (NV_ENC_CAPS values).
inline constexpr uint32_t kCapsWidthMax = 16;
inline constexpr uint32_t kCapsHeightMax = 17;

// Per-picture flags.
inline constexpr uint32_t kPicFlagForceIdr = 0x2;
inline constexpr uint32_t kPicFlagOutputSpsPps = 0x4;
inline constexpr uint32_t kPicFlagEos = 0x8;

// Bits of the rate-control flags word.
inline constexpr uint32_t kRcFlagEnableAq = 1u << 3;
inline constexpr uint32_t kRcFlagEnableLookahead = 1u << 5;
// Bits of the H.264 flags word.
inline constexpr uint32_t kH264FlagRepeatSpsPps = 1u << 12;

// A GUID as the interface passes it (16 bytes, alignment 4).
struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16 && alignof(Guid) == 4);

inline bool operator==(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof(Guid)) == 0; }

inline constexpr Guid kCodecH264Guid = {0x6bc82762, 0x4e63, 0x4ca4, {0xaa, 0x85, 0x1e, 0x50, 0xf3, 0x21, 0xf6, 0xbf}};
inline constexpr Guid kH264ProfileHighGuid = {
    0xe7cbc309, 0x4f7a, 0x4b89, {0xaf, 0x2a, 0xd5, 0x37, 0xc9, 0x2b, 0xe3, 0x10}};
// Presets P1 (fastest) .. P7 (best), in order.
inline constexpr Guid kPresetGuids[7] = {
    {0xfc0a8d3e, 0x45f8, 0x4cf8, {0x80, 0xc7, 0x29, 0x88, 0x71, 0x59, 0x0e, 0xbf}},
    {0xf581cfb8, 0x88d6, 0x4381, {0x93, 0xf0, 0xdf, 0x13, 0xf9, 0xc2, 0x7d, 0xab}},
    {0x36850110, 0x3a07, 0x441f, {0x94, 0xd5, 0x36, 0x70, 0x63, 0x1f, 0x91, 0xf6}},
    {0x90a7b826, 0xdf06, 0x4862, {0xb9, 0xd2, 0xcd, 0x6d, 0x73, 0xa0, 0x86, 0x81}},
    {0x21c6e6b4, 0x297a, 0x4cba, {0x99, 0x8f, 0xb6, 0xcb, 0xde, 0x72, 0xad, 0xe3}},
    {0x8e75c279, 0x6299, 0x4ab6, {0x83, 0x02, 0x0b, 0x21, 0x5a, 0x33, 0x5c, 0xf5}},
    {0x84848c12, 0x6f71, 0x4c13, {0x93, 0x1b, 0x53, 0xe2, 0x83, 0xf5, 0x79, 0x74}},
};

// NV_ENC_CAPS_PARAM: which capability to report.
struct CapsParam {
  uint32_t version;
  uint32_t capsToQuery;
  uint32_t reserved[62];
};

struct OpenSessionParams {
  uint32_t version;
  uint32_t deviceType;
  void* device;
  void* reserved;
  uint32_t apiVersion;
  uint32_t reserved1[253];
  void* reserved2[64];
};

struct RcParams {
  uint32_t version;
  uint32_t rateControlMode;
  uint32_t constQp[3];
  uint32_t averageBitRate;
  uint32_t maxBitRate;
  uint32_t vbvBufferSize;
  uint32_t vbvInitialDelay;
  uint32_t flags;  // kRcFlag* bits
  uint32_t minQp[3];
  uint32_t maxQp[3];
  uint32_t initialRcQp[3];
  uint32_t temporalLayerIdxMask;
  uint8_t temporalLayerQp[8];
  uint8_t targetQuality;
  uint8_t targetQualityLsb;
  uint16_t lookaheadDepth;
  uint8_t lowDelayKeyFrameScale;
  int8_t dcQpIndexOffsets[3];
  uint32_t qpMapMode;
  uint32_t multiPass;
  uint32_t alphaLayerBitrateRatio;
  int8_t cbQpIndexOffset;
  int8_t crQpIndexOffset;
  uint16_t reserved2;
  uint32_t lookaheadLevel;
  uint8_t viewBitrateRatios[7];
  uint8_t reserved3;
  uint32_t reserved1;
};

struct VuiParameters {
  uint32_t overscanInfoPresentFlag;
  uint32_t overscanInfo;
  uint32_t videoSignalTypePresentFlag;
  uint32_t videoFormat;
  uint32_t videoFullRangeFlag;
  uint32_t colourDescriptionPresentFlag;
  uint32_t colourPrimaries;
  uint32_t transferCharacteristics;
  uint32_t colourMatrix;
  uint32_t chromaSampleLocationFlag;
  uint32_t chromaSampleLocationTop;
  uint32_t chromaSampleLocationBot;
  uint32_t bitstreamRestrictionFlag;
  uint32_t timingInfoPresentFlag;
  uint32_t numUnitInTicks;
  uint32_t timeScale;
  uint32_t reserved[12];
};

struct H264Config {
  uint32_t flags;  // kH264Flag* bits
  uint32_t level;
  uint32_t idrPeriod;
  uint32_t presetFields1[15];  // colour plane .. slice mode data: kept from the preset
  VuiParameters vui;
  uint32_t ltrNumFrames;
  uint32_t ltrTrustMode;
  uint32_t chromaFormatIdc;
  uint32_t presetFields2[7];  // temporal layers .. tfLevel: kept from the preset
  uint32_t reserved1[264];
  void* reserved2[64];
};

struct Config {
  uint32_t version;
  Guid profileGuid;
  uint32_t gopLength;
  int32_t frameIntervalP;
  uint32_t monoChromeEncoding;
  uint32_t frameFieldMode;
  uint32_t mvPrecision;
  RcParams rcParams;
  H264Config h264;  // the codec union viewed as its (largest) H.264 member
  uint32_t reserved[278];
  void* reserved2[64];
};

struct PresetConfig {
  uint32_t version;
  uint32_t reserved;
  Config presetCfg;
  uint32_t reserved1[256];
  void* reserved2[64];
};

struct InitializeParams {
  uint32_t version;
  Guid encodeGuid;
  Guid presetGuid;
  uint32_t encodeWidth;
  uint32_t encodeHeight;
  uint32_t darWidth;
  uint32_t darHeight;
  uint32_t frameRateNum;
  uint32_t frameRateDen;
  uint32_t enableEncodeAsync;
  uint32_t enablePtd;
  uint32_t flags;
  uint32_t privDataSize;
  uint32_t reserved;
  void* privData;
  Config* encodeConfig;
  uint32_t maxEncodeWidth;
  uint32_t maxEncodeHeight;
  uint8_t maxMeHintCountsPerBlock[32];
  uint32_t tuningInfo;
  uint32_t bufferFormat;
  uint32_t numStateBuffers;
  uint32_t outputStatsLevel;
  uint32_t reserved1[284];
  void* reserved2[64];
};

struct RegisterResource {
  uint32_t version;
  uint32_t resourceType;
  uint32_t width;
  uint32_t height;
  uint32_t pitch;
  uint32_t subResourceIndex;
  void* resourceToRegister;
  void* registeredResource;  // out
  uint32_t bufferFormat;
  uint32_t bufferUsage;
  void* inputFencePoint;
  uint32_t chromaOffset[2];
  uint32_t chromaOffsetIn[2];
  uint32_t reserved1[244];
  void* reserved2[61];
};

struct CreateBitstreamBuffer {
  uint32_t version;
  uint32_t size;
  uint32_t memoryHeap;
  uint32_t reserved;
  void* bitstreamBuffer;  // out
  void* bitstreamBufferPtr;
  uint32_t reserved1[58];
  void* reserved2[64];
};

struct SequenceParamPayload {
  uint32_t version;
  uint32_t inBufferSize;
  uint32_t spsId;
  uint32_t ppsId;
  void* spsppsBuffer;
  uint32_t* outSpsPpsPayloadSize;
  uint32_t reserved[250];
  void* reserved2[64];
};

struct MapInputResource {
  uint32_t version;
  uint32_t subResourceIndex;
  void* inputResource;
  void* registeredResource;
  void* mappedResource;      // out
  uint32_t mappedBufferFmt;  // out
  uint32_t reserved1[251];
  void* reserved2[63];
};

struct PicParams {
  uint32_t version;
  uint32_t inputWidth;
  uint32_t inputHeight;
  uint32_t inputPitch;
  uint32_t encodePicFlags;
  uint32_t frameIdx;
  uint64_t inputTimeStamp;
  uint64_t inputDuration;
  void* inputBuffer;
  void* outputBitstream;
  void* completionEvent;
  uint32_t bufferFmt;
  uint32_t pictureStruct;
  uint32_t pictureType;
  uint32_t pad0;
  uint8_t codecPicParams[1544];
  uint8_t meHintCountsPerBlock[32];
  void* meExternalHints;
  uint32_t reserved2[7];
  uint32_t pad1;
  void* reserved5[2];
  void* qpDeltaMap;
  uint32_t qpDeltaMapSize;
  uint32_t reservedBitFields;
  uint16_t meHintRefPicDist[2];
  uint32_t reserved4;
  void* alphaBuffer;
  void* meExternalSbHints;
  uint32_t meSbHintsCount;
  uint32_t stateBufferIdx;
  void* outputReconBuffer;
  uint32_t reserved3[284];
  void* reserved6[57];
};

struct LockBitstream {
  uint32_t version;
  uint32_t flags;  // bit 0 doNotWait
  void* outputBitstream;
  uint32_t* sliceOffsets;
  uint32_t frameIdx;              // out
  uint32_t hwEncodeStatus;        // out
  uint32_t numSlices;             // out
  uint32_t bitstreamSizeInBytes;  // out
  uint64_t outputTimeStamp;       // out
  uint64_t outputDuration;        // out
  void* bitstreamBufferPtr;       // out, valid until unlock
  uint32_t pictureType;           // out
  uint32_t pictureStruct;         // out
  uint32_t statistics[10];        // out
  uint32_t outputStatsPtrSize;
  uint32_t reserved;
  void* outputStatsPtr;
  uint32_t frameIdxDisplay;  // out
  uint32_t reserved1[219];
  void* reserved2[63];
  uint32_t reservedInternal[8];
};

// Table entries: every call returns a Status; `encoder` is the session handle.
using OpenEncodeSessionExFn = Status (*)(OpenSessionParams* params, void** encoder);
using GetEncodePresetConfigExFn = Status (*)(void* encoder, Guid encodeGuid, Guid presetGuid, uint32_t tuningInfo,
                                             PresetConfig* presetConfig);
using InitializeEncoderFn = Status (*)(void* encoder, InitializeParams* params);
using RegisterResourceFn = Status (*)(void* encoder, RegisterResource* params);
using CreateBitstreamBufferFn = Status (*)(void* encoder, CreateBitstreamBuffer* params);
using GetSequenceParamsFn = Status (*)(void* encoder, SequenceParamPayload* params);
using MapInputResourceFn = Status (*)(void* encoder, MapInputResource* params);
using EncodePictureFn = Status (*)(void* encoder, PicParams* params);
using LockBitstreamFn = Status (*)(void* encoder, LockBitstream* params);
using GetEncodeCapsFn = Status (*)(void* encoder, Guid codec, CapsParam* params, int32_t* value);
using HandleFn = Status (*)(void* encoder, void* handle);  // unlock, unmap, destroy buffer, unregister
using DestroyEncoderFn = Status (*)(void* encoder);

struct FunctionList {
  uint32_t version;
  uint32_t reserved;
  void* unused0to6[7];
  GetEncodeCapsFn getEncodeCaps;  // slot 7
  void* unused8to10[3];
  InitializeEncoderFn initializeEncoder;  // 11
  void* unused12to13[2];
  CreateBitstreamBufferFn createBitstreamBuffer;  // 14
  HandleFn destroyBitstreamBuffer;                // 15
  EncodePictureFn encodePicture;                  // 16
  LockBitstreamFn lockBitstream;                  // 17
  HandleFn unlockBitstream;                       // 18
  void* unused19to21[3];
  GetSequenceParamsFn getSequenceParams;  // 22
  void* unused23to24[2];
  MapInputResourceFn mapInputResource;  // 25
  HandleFn unmapInputResource;          // 26
  DestroyEncoderFn destroyEncoder;      // 27
  void* unused28;
  OpenEncodeSessionExFn openEncodeSessionEx;  // 29
  RegisterResourceFn registerResource;        // 30
  HandleFn unregisterResource;                // 31
  void* unused32to38[7];
  GetEncodePresetConfigExFn getEncodePresetConfigEx;  // 39
  void* unused40to42[3];
  void* reserved2[275];
};

// The two exports of the driver library.
using GetMaxSupportedVersionFn = Status (*)(uint32_t* version);
using CreateInstanceFn = Status (*)(FunctionList* functions);

// A structure with every byte zero, the starting point of every call.
template <typename T>
T Zeroed() {
  static_assert(std::is_trivially_copyable_v<T>);
  T value;
  std::memset(&value, 0, sizeof value);
  return value;
}

// The layout of the binary interface (x86-64, 8-byte pointers).
static_assert(sizeof(void*) == 8, "the NVENC declarations are for 64-bit targets");
static_assert(sizeof(OpenSessionParams) == 1552);
static_assert(offsetof(OpenSessionParams, device) == 8 && offsetof(OpenSessionParams, apiVersion) == 24 &&
              offsetof(OpenSessionParams, reserved2) == 1040);
static_assert(sizeof(RcParams) == 128 && alignof(RcParams) == 4);
static_assert(offsetof(RcParams, rateControlMode) == 4 && offsetof(RcParams, averageBitRate) == 20 &&
              offsetof(RcParams, maxBitRate) == 24 && offsetof(RcParams, flags) == 36 &&
              offsetof(RcParams, temporalLayerIdxMask) == 76 && offsetof(RcParams, targetQuality) == 88 &&
              offsetof(RcParams, targetQualityLsb) == 89 && offsetof(RcParams, lookaheadDepth) == 90 &&
              offsetof(RcParams, qpMapMode) == 96 && offsetof(RcParams, multiPass) == 100 &&
              offsetof(RcParams, lookaheadLevel) == 112 && offsetof(RcParams, reserved1) == 124);
static_assert(sizeof(VuiParameters) == 112 && alignof(VuiParameters) == 4);
static_assert(offsetof(VuiParameters, videoSignalTypePresentFlag) == 8 && offsetof(VuiParameters, videoFormat) == 12 &&
              offsetof(VuiParameters, videoFullRangeFlag) == 16 &&
              offsetof(VuiParameters, colourDescriptionPresentFlag) == 20 &&
              offsetof(VuiParameters, colourPrimaries) == 24 &&
              offsetof(VuiParameters, transferCharacteristics) == 28 && offsetof(VuiParameters, colourMatrix) == 32 &&
              offsetof(VuiParameters, reserved) == 64);
static_assert(sizeof(H264Config) == 1792 && alignof(H264Config) == 8);
static_assert(offsetof(H264Config, idrPeriod) == 8 && offsetof(H264Config, vui) == 72 &&
              offsetof(H264Config, chromaFormatIdc) == 192 && offsetof(H264Config, reserved1) == 224 &&
              offsetof(H264Config, reserved2) == 1280);
static_assert(sizeof(Config) == 3584);
static_assert(offsetof(Config, profileGuid) == 4 && offsetof(Config, gopLength) == 20 &&
              offsetof(Config, frameIntervalP) == 24 && offsetof(Config, frameFieldMode) == 32 &&
              offsetof(Config, rcParams) == 40 && offsetof(Config, h264) == 168 &&
              offsetof(Config, reserved) == 1960 && offsetof(Config, reserved2) == 3072);
static_assert(offsetof(Config, rcParams) + offsetof(RcParams, flags) == 76);
static_assert(offsetof(Config, rcParams) + offsetof(RcParams, targetQuality) == 128);
static_assert(offsetof(Config, h264) + offsetof(H264Config, idrPeriod) == 176);
static_assert(offsetof(Config, h264) + offsetof(H264Config, vui) == 240);
static_assert(offsetof(Config, h264) + offsetof(H264Config, chromaFormatIdc) == 360);
static_assert(sizeof(PresetConfig) == 5128);
static_assert(offsetof(PresetConfig, presetCfg) == 8 && offsetof(PresetConfig, reserved1) == 3592 &&
              offsetof(PresetConfig, reserved2) == 4616);
static_assert(sizeof(InitializeParams) == 1800);
static_assert(offsetof(InitializeParams, encodeGuid) == 4 && offsetof(InitializeParams, presetGuid) == 20 &&
              offsetof(InitializeParams, encodeWidth) == 36 && offsetof(InitializeParams, darWidth) == 44 &&
              offsetof(InitializeParams, frameRateNum) == 52 && offsetof(InitializeParams, enableEncodeAsync) == 60 &&
              offsetof(InitializeParams, enablePtd) == 64 && offsetof(InitializeParams, flags) == 68 &&
              offsetof(InitializeParams, privData) == 80 && offsetof(InitializeParams, encodeConfig) == 88 &&
              offsetof(InitializeParams, maxEncodeWidth) == 96 && offsetof(InitializeParams, tuningInfo) == 136 &&
              offsetof(InitializeParams, bufferFormat) == 140 && offsetof(InitializeParams, reserved1) == 152 &&
              offsetof(InitializeParams, reserved2) == 1288);
static_assert(sizeof(RegisterResource) == 1536);
static_assert(offsetof(RegisterResource, width) == 8 && offsetof(RegisterResource, pitch) == 16 &&
              offsetof(RegisterResource, subResourceIndex) == 20 &&
              offsetof(RegisterResource, resourceToRegister) == 24 &&
              offsetof(RegisterResource, registeredResource) == 32 && offsetof(RegisterResource, bufferFormat) == 40 &&
              offsetof(RegisterResource, bufferUsage) == 44 && offsetof(RegisterResource, inputFencePoint) == 48 &&
              offsetof(RegisterResource, chromaOffsetIn) == 64 && offsetof(RegisterResource, reserved1) == 72 &&
              offsetof(RegisterResource, reserved2) == 1048);
static_assert(sizeof(CreateBitstreamBuffer) == 776);
static_assert(offsetof(CreateBitstreamBuffer, bitstreamBuffer) == 16 &&
              offsetof(CreateBitstreamBuffer, reserved1) == 32 && offsetof(CreateBitstreamBuffer, reserved2) == 264);
static_assert(sizeof(SequenceParamPayload) == 1544);
static_assert(offsetof(SequenceParamPayload, inBufferSize) == 4 && offsetof(SequenceParamPayload, spsId) == 8 &&
              offsetof(SequenceParamPayload, spsppsBuffer) == 16 &&
              offsetof(SequenceParamPayload, outSpsPpsPayloadSize) == 24 &&
              offsetof(SequenceParamPayload, reserved2) == 1032);
static_assert(sizeof(MapInputResource) == 1544);
static_assert(offsetof(MapInputResource, registeredResource) == 16 &&
              offsetof(MapInputResource, mappedResource) == 24 && offsetof(MapInputResource, mappedBufferFmt) == 32 &&
              offsetof(MapInputResource, reserved2) == 1040);
static_assert(sizeof(PicParams) == 3360);
static_assert(offsetof(PicParams, encodePicFlags) == 16 && offsetof(PicParams, inputTimeStamp) == 24 &&
              offsetof(PicParams, inputDuration) == 32 && offsetof(PicParams, inputBuffer) == 40 &&
              offsetof(PicParams, outputBitstream) == 48 && offsetof(PicParams, completionEvent) == 56 &&
              offsetof(PicParams, bufferFmt) == 64 && offsetof(PicParams, pictureStruct) == 68 &&
              offsetof(PicParams, pictureType) == 72 && offsetof(PicParams, codecPicParams) == 80 &&
              offsetof(PicParams, meHintCountsPerBlock) == 1624 && offsetof(PicParams, meExternalHints) == 1656 &&
              offsetof(PicParams, reserved5) == 1696 && offsetof(PicParams, qpDeltaMap) == 1712 &&
              offsetof(PicParams, meHintRefPicDist) == 1728 && offsetof(PicParams, alphaBuffer) == 1736 &&
              offsetof(PicParams, meSbHintsCount) == 1752 && offsetof(PicParams, outputReconBuffer) == 1760 &&
              offsetof(PicParams, reserved3) == 1768 && offsetof(PicParams, reserved6) == 2904);
static_assert(sizeof(LockBitstream) == 1544);
static_assert(offsetof(LockBitstream, flags) == 4 && offsetof(LockBitstream, outputBitstream) == 8 &&
              offsetof(LockBitstream, bitstreamSizeInBytes) == 36 && offsetof(LockBitstream, outputTimeStamp) == 40 &&
              offsetof(LockBitstream, outputDuration) == 48 && offsetof(LockBitstream, bitstreamBufferPtr) == 56 &&
              offsetof(LockBitstream, pictureType) == 64 && offsetof(LockBitstream, outputStatsPtrSize) == 112 &&
              offsetof(LockBitstream, outputStatsPtr) == 120 && offsetof(LockBitstream, frameIdxDisplay) == 128 &&
              offsetof(LockBitstream, reserved2) == 1008 && offsetof(LockBitstream, reservedInternal) == 1512);
static_assert(sizeof(CapsParam) == 256 && offsetof(CapsParam, capsToQuery) == 4);
static_assert(sizeof(FunctionList) == 2552);
static_assert(offsetof(FunctionList, getEncodeCaps) == 8 + 8 * 7 && offsetof(FunctionList, initializeEncoder) == 8 + 8 * 11 &&
              offsetof(FunctionList, createBitstreamBuffer) == 8 + 8 * 14 &&
              offsetof(FunctionList, destroyBitstreamBuffer) == 8 + 8 * 15 &&
              offsetof(FunctionList, encodePicture) == 8 + 8 * 16 &&
              offsetof(FunctionList, lockBitstream) == 8 + 8 * 17 &&
              offsetof(FunctionList, unlockBitstream) == 8 + 8 * 18 &&
              offsetof(FunctionList, getSequenceParams) == 8 + 8 * 22 &&
              offsetof(FunctionList, mapInputResource) == 8 + 8 * 25 &&
              offsetof(FunctionList, unmapInputResource) == 8 + 8 * 26 &&
              offsetof(FunctionList, destroyEncoder) == 8 + 8 * 27 &&
              offsetof(FunctionList, openEncodeSessionEx) == 8 + 8 * 29 &&
              offsetof(FunctionList, registerResource) == 8 + 8 * 30 &&
              offsetof(FunctionList, unregisterResource) == 8 + 8 * 31 &&
              offsetof(FunctionList, getEncodePresetConfigEx) == 8 + 8 * 39 &&
              offsetof(FunctionList, reserved2) == 352);

}  // namespace kp::nvenc
