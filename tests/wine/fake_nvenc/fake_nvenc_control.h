// The script and the record of the fake NVIDIA driver library
// (nvEncodeAPI64.dll built from fake_nvenc.cpp). A test program loads the
// same library, takes the control block from its extra export
// "FakeNvencControlBlock" and sets the script before each scenario; the
// product code never knows about it.
#pragma once

#include <cstdint>

namespace kp::fakenvenc {

// Every entry point of the driver the program may call, as recorded.
enum Call : int32_t {
  kGetMaxVersion = 1,
  kCreateInstance,
  kOpenSession,
  kGetPreset,
  kInitialize,
  kRegister,
  kCreateBitstream,
  kGetSequenceParams,
  kMap,
  kEncode,     // a picture
  kEncodeEos,  // the end-of-stream submission
  kLock,
  kUnlock,
  kUnmap,
  kDestroyBitstream,
  kUnregister,
  kDestroyEncoder,
  kUnexpected,  // a table slot the program has no business calling
};

inline constexpr int kMaxCalls = 256;

struct Control {
  // Script.
  uint32_t maxVersion = 209;        // what NvEncodeAPIGetMaxSupportedVersion reports
  int32_t failCall = 0;             // this call returns failStatus
  int32_t failStatus = 0;
  int32_t openFailureReturnsHandle = 0;  // a failed open still hands out a session
  int32_t needMoreInputOnPicture = -1;   // 0-based picture that returns "need more input"
  int32_t omitPps = 0;                   // sequence header without a PPS

  // Record.
  int32_t calls[kMaxCalls] = {};
  int32_t callCount = 0;
  int32_t errorCount = 0;
  char errors[8192] = {};  // one line per layout or value mismatch found
  void* device = nullptr;  // as passed to open session
  void* texture = nullptr; // as passed to register
  uint32_t presetLevel = 0;  // 1..7 of the preset GUID queried
  uint32_t tuning = 0;
  // The configuration handed to initialize, read at the documented offsets.
  uint32_t width = 0, height = 0, frameRateNum = 0, frameRateDen = 0;
  uint32_t profileIsHigh = 0, gopLength = 0, idrPeriod = 0, rateControlMode = 0;
  int32_t frameIntervalP = 0;
  uint32_t averageBitRate = 0, maxBitRate = 0, rcFlags = 0, lookaheadDepth = 0;
  uint32_t targetQuality = 0, targetQualityLsb = 0, h264Flags = 0, chromaFormatIdc = 0;
  uint32_t vuiSignalType = 0, vuiFormat = 0, vuiFullRange = 0, vuiColourDescription = 0;
  uint32_t vuiPrimaries = 0, vuiTransfer = 0, vuiMatrix = 0;
  // The last picture submitted.
  int32_t pictures = 0;
  uint32_t lastPicFlags = 0;
  uint64_t lastTimeStamp = 0, lastDuration = 0;
};

using ControlBlockFn = Control* (*)();

}  // namespace kp::fakenvenc
