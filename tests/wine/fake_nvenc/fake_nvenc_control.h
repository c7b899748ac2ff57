// The script and the record of the fake NVIDIA driver library
// (nvEncodeAPI64.dll built from fake_nvenc.cpp). A test loads the same
// library, takes this block from its extra export "FakeNvencControlBlock" and
// sets the script before each scenario; the product never knows about it.
#pragma once

#include <cstdint>

namespace kp::fakenvenc {

// The driver's entry points, as recorded (kEncodeEos: the end-of-stream submission).
enum Call : int32_t {
  kGetMaxVersion = 1, kCreateInstance, kOpenSession, kGetPreset, kInitialize, kRegister, kCreateBitstream,
  kGetSequenceParams, kMap, kEncode, kEncodeEos, kLock, kUnlock, kUnmap, kDestroyBitstream, kUnregister,
  kDestroyEncoder, kGetCaps
};

struct Control {
  // Script.
  uint32_t maxVersion = 208;             // what NvEncodeAPIGetMaxSupportedVersion reports (13.0)
  int32_t maxWidth = 4096, maxHeight = 4096;  // NV_ENC_CAPS_WIDTH_MAX / HEIGHT_MAX
  int32_t failCall = 0, failStatus = 0;  // this call returns failStatus
  int32_t openFailureReturnsHandle = 0;  // a failed open still hands out a session
  int32_t needMoreInputOnPicture = -1;   // this 0-based picture answers "need more input"
  int32_t omitPps = 0;                   // sequence header without a PPS

  // Record.
  int32_t calls[256] = {};
  int32_t callCount = 0;
  char errors[8192] = {};  // one line per layout or value mismatch found
  void* device = nullptr;  // as passed to open session
  void* texture = nullptr; // as passed to register
  uint32_t width = 0, height = 0, fps = 0, gopLength = 0, maxBitRate = 0;  // as passed to initialize
  uint32_t lastPicFlags = 0;
  uint64_t lastTimeStamp = 0, lastDuration = 0;
};

using ControlBlockFn = Control* (*)();

}  // namespace kp::fakenvenc
