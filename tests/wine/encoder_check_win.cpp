// Encoder selection and the NVENC binding on a real D3D11 device (Wine under
// a virtual display). Run twice: --no-driver, with no NVIDIA driver library
// in the system folder, and --driver, with the fake one (fake_nvenc/) there.
// In both runs a copy of the fake lies beside the program, where the product
// must never load it from.
#include <windows.h>

#include <d3d11.h>
#include <wrl/client.h>

#include <algorithm>
#include <cwchar>
#include <memory>

#include "app/log.h"
#include "fake_nvenc/fake_nvenc_control.h"
#include "video/encoder_selection.h"
#include "win_check.h"

namespace {

using namespace kp;
using namespace kp::fakenvenc;
using namespace kp::wintest;
using Calls = std::vector<int32_t>;

constexpr const char* kNvencMissing = "nvenc: nvEncodeAPI64.dll not found (NVIDIA driver missing?)";
constexpr const char* kFallback = "encoder: NVENC unavailable, trying the Windows hardware encoder";
constexpr const char* kNoneUsable = "encoder: no usable H.264 encoder on this GPU";
// Wine registers no hardware H.264 transform: the enumeration succeeds empty.
constexpr const char* kMfMissing = "mf: no hardware H.264 encoder on this GPU (hr=0x00000000)";

const Calls kOpenCalls = {kGetMaxVersion, kCreateInstance, kOpenSession, kGetCaps,         kGetCaps,
                          kGetPreset,     kInitialize,     kRegister,    kCreateBitstream, kGetSequenceParams};
const Calls kPictureCalls = {kMap, kEncode, kLock, kUnlock, kUnmap};
const Calls kCloseCalls = {kEncodeEos, kDestroyBitstream, kUnregister, kDestroyEncoder};

Microsoft::WRL::ComPtr<ID3D11Device> g_device;
Microsoft::WRL::ComPtr<ID3D11Texture2D> g_texture;
Control* g_fake = nullptr;

std::unique_ptr<VideoEncoder> Open(EncoderChoice choice) {
  EncoderConfig config;
  config.width = 1280;
  config.height = 720;
  config.fps = 60;
  g_lines.clear();
  return CreateVideoEncoder(choice, reinterpret_cast<GpuDevice*>(g_device.Get()),
                            reinterpret_cast<GpuTexture*>(g_texture.Get()), config);
}

void ExpectCalls(const char* what, const Calls& expected) {
  auto text = [](const int32_t* begin, const int32_t* end) {
    std::vector<std::string> out;
    for (const int32_t* c = begin; c != end; ++c) out.push_back(std::to_string(*c));
    return out;
  };
  KP_CHECK(Same(what, text(g_fake->calls, g_fake->calls + g_fake->callCount),
                text(expected.data(), expected.data() + expected.size())));
}

void ExpectNoFakeErrors(const char* what) {
  if (g_fake->errors[0] != '\0') std::printf("%s: the fake driver found:\n%s", what, g_fake->errors);
  KP_CHECK(g_fake->errors[0] == '\0');
}

void CheckWithoutDriver() {
  const struct {
    EncoderChoice choice;
    std::vector<std::string> lines;
  } cases[] = {
      // Wine's adapter reports NVIDIA's vendor id, so Auto tries NVENC first.
      {EncoderChoice::Auto, {kNvencMissing, kFallback, kMfMissing, kNoneUsable}},
      {EncoderChoice::Nvenc, {kNvencMissing, kNoneUsable}},
      {EncoderChoice::MediaFoundation, {kMfMissing, kNoneUsable}},
  };
  for (const auto& c : cases) {
    KP_CHECK(Open(c.choice) == nullptr);
    KP_CHECK(Same("without a driver", g_lines, c.lines));
  }
}

void CheckAutoOpensNvencAndEncodes() {
  *g_fake = Control{};
  std::unique_ptr<VideoEncoder> encoder = Open(EncoderChoice::Auto);
  KP_CHECK(encoder != nullptr);
  if (encoder == nullptr) return;
  KP_CHECK(encoder->Name() == "NVIDIA NVENC");
  KP_CHECK(Same("auto with driver", g_lines,
                {"nvenc: H.264 1280x720@60 P4, constant quality CQ 23 (max 8.8 Mbps), keyframe every 2s",
                 "encoder: NVIDIA NVENC"}));
  ExpectCalls("open", kOpenCalls);
  KP_CHECK(g_fake->device == g_device.Get() && g_fake->texture == g_texture.Get());
  KP_CHECK(g_fake->width == 1280 && g_fake->height == 720 && g_fake->fps == 60);
  KP_CHECK(g_fake->gopLength == 120 && g_fake->maxBitRate == 8'847'360);
  const VideoTrackInfo& track = encoder->TrackInfo();
  KP_CHECK(track.kind == 0 && track.width == 1280 && track.height == 720 && track.fps == 60);
  KP_CHECK((track.sps == std::vector<uint8_t>{0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78}));
  KP_CHECK((track.pps == std::vector<uint8_t>{0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0}));

  // IDR, P, a forced IDR (its parameter sets and delimiter dropped), and a
  // picture the driver holds back: success without a packet.
  constexpr int64_t kFrame = 166'667, kStart = 123'456'789'000;
  g_fake->needMoreInputOnPicture = 3;
  PacketList packets;
  for (int i = 0; i < 4; ++i) {
    g_fake->callCount = 0;
    KP_CHECK(encoder->Encode(kStart + i * kFrame, kFrame, i == 2, packets));
    ExpectCalls("picture", i == 3 ? Calls{kMap, kEncode, kUnmap} : kPictureCalls);
    KP_CHECK(g_fake->lastPicFlags == (i == 2 ? 0x6u : 0u));
    KP_CHECK(g_fake->lastTimeStamp == static_cast<uint64_t>(kStart + i * kFrame) && g_fake->lastDuration == kFrame);
  }
  KP_CHECK(Same("packets", Describe(packets, kStart, kFrame), {"0 5 K", "1 1", "2 5 K"}));

  // Failures of one picture leave the encoder usable. A failed unlock comes
  // after the bytes were copied out: the packet is delivered, the call succeeds.
  const struct {
    int32_t call, status;
    bool delivered;
    const char* line;
    Calls calls;
  } failures[] = {
      {kMap, 16, false, "nvenc: map input failed (status 16)", {kMap}},
      {kEncode, 8, false, "nvenc: encode picture failed (status 8)", {kMap, kEncode, kUnmap}},
      {kLock, 13, false, "nvenc: lock bitstream failed (status 13)", {kMap, kEncode, kLock, kUnmap}},
      {kUnlock, 9, true, "nvenc: unlock bitstream failed (status 9)", kPictureCalls},
  };
  for (const auto& f : failures) {
    g_fake->callCount = 0;
    g_fake->failCall = f.call;
    g_fake->failStatus = f.status;
    g_lines.clear();
    packets.clear();
    KP_CHECK(encoder->Encode(kStart, kFrame, false, packets) == f.delivered);
    KP_CHECK(packets.size() == (f.delivered ? 1u : 0u));
    KP_CHECK(Same(f.line, g_lines, {f.line}));
    ExpectCalls(f.line, f.calls);
  }
  g_fake->failCall = 0;
  packets.clear();
  KP_CHECK(encoder->Encode(kStart, kFrame, false, packets) && packets.size() == 1);
  KP_CHECK(encoder->Drain(packets) && packets.size() == 1);

  g_fake->callCount = 0;
  encoder.reset();
  ExpectCalls("close", kCloseCalls);
  ExpectNoFakeErrors("auto with driver");

  *g_fake = Control{};
  KP_CHECK(Open(EncoderChoice::MediaFoundation) == nullptr);
  ExpectCalls("media foundation leaves the driver alone", {});
}

// Each step of opening fails in turn: its line, then exactly the clean-up of
// what was created before it.
void CheckFailingSteps() {
  const Calls kEndSession = {kEncodeEos, kDestroyEncoder};
  const struct {
    Control script;
    int32_t lastCall;
    Calls cleanup;
    const char* line;
  } cases[] = {
      {{.maxVersion = 207}, kGetMaxVersion, {},
       "nvenc: driver supports API 12.15 but 13.0 is required \xE2\x80\x94 update the NVIDIA driver"},
      {{.failCall = kGetMaxVersion, .failStatus = 3}, kGetMaxVersion, {},
       "nvenc: NvEncodeAPIGetMaxSupportedVersion failed (status 3)"},
      {{.failCall = kCreateInstance, .failStatus = 6}, kCreateInstance, {},
       "nvenc: NvEncodeAPICreateInstance failed (status 6)"},
      {{.failCall = kOpenSession, .failStatus = 2}, kOpenSession, {}, "nvenc: open session failed (status 2)"},
      {{.failCall = kOpenSession, .failStatus = 4, .openFailureReturnsHandle = 1}, kOpenSession, {kDestroyEncoder},
       "nvenc: open session failed (status 4)"},
      {{.failCall = kGetCaps, .failStatus = 8}, kGetCaps, kEndSession, "nvenc: get caps failed (status 8)"},
      // Both limits are read before they are compared.
      {{.maxWidth = 1024}, kGetCaps, {kGetCaps, kEncodeEos, kDestroyEncoder},
       "nvenc: 1280x720 is above this GPU's limit of 1024x4096"},
      {{.maxHeight = 480}, kGetCaps, {kGetCaps, kEncodeEos, kDestroyEncoder},
       "nvenc: 1280x720 is above this GPU's limit of 4096x480"},
      {{.failCall = kGetPreset, .failStatus = 15}, kGetPreset, kEndSession, "nvenc: get preset failed (status 15)"},
      {{.failCall = kInitialize, .failStatus = 8}, kInitialize, kEndSession, "nvenc: initialize failed (status 8)"},
      {{.failCall = kRegister, .failStatus = 23}, kRegister, kEndSession, "nvenc: register input failed (status 23)"},
      {{.failCall = kCreateBitstream, .failStatus = 10}, kCreateBitstream, {kEncodeEos, kUnregister, kDestroyEncoder},
       "nvenc: create bitstream buffer failed (status 10)"},
      {{.failCall = kGetSequenceParams, .failStatus = 20}, kGetSequenceParams, kCloseCalls,
       "nvenc: get SPS/PPS failed (status 20)"},
      {{.omitPps = 1}, kGetSequenceParams, kCloseCalls, "nvenc: SPS/PPS missing from sequence params"},
  };
  for (const auto& c : cases) {
    *g_fake = c.script;
    KP_CHECK(Open(EncoderChoice::Nvenc) == nullptr);
    KP_CHECK(Same(c.line, g_lines, {c.line, kNoneUsable}));
    Calls calls(kOpenCalls.begin(), std::find(kOpenCalls.begin(), kOpenCalls.end(), c.lastCall) + 1);
    calls.insert(calls.end(), c.cleanup.begin(), c.cleanup.end());
    ExpectCalls(c.line, calls);
    ExpectNoFakeErrors(c.line);
  }
}

bool DriverIn(bool systemFolder) {
  wchar_t path[MAX_PATH] = {};
  std::wstring folder(path, systemFolder ? GetSystemDirectoryW(path, MAX_PATH) : GetModuleFileNameW(nullptr, path, MAX_PATH));
  folder = systemFolder ? folder + L"\\" : folder.substr(0, folder.find_last_of(L'\\') + 1);
  return GetFileAttributesW((folder + L"nvEncodeAPI64.dll").c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool withDriver = argc == 2 && std::wcscmp(argv[1], L"--driver") == 0;
  if (!withDriver && !(argc == 2 && std::wcscmp(argv[1], L"--no-driver") == 0)) {
    std::printf("usage: encoder_check_win --driver | --no-driver\n");
    return 2;
  }
  KP_CHECK(DriverIn(false));  // the planted copy
  KP_CHECK(DriverIn(true) == withDriver);
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  SetLogObserver(&Observe, nullptr);
  KP_CHECK(CreateGpu(&g_device, &g_texture));
  if (g_texture && !withDriver) CheckWithoutDriver();
  if (g_texture && withDriver) {
    // The library the product loads, kept loaded so its script and record
    // live across encoders.
    HMODULE library = LoadLibraryExW(L"nvEncodeAPI64.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    auto controlBlock = library == nullptr ? nullptr
                                           : reinterpret_cast<ControlBlockFn>(reinterpret_cast<void*>(
                                                 GetProcAddress(library, "FakeNvencControlBlock")));
    KP_CHECK(controlBlock != nullptr);
    if (controlBlock != nullptr) {
      g_fake = controlBlock();
      CheckAutoOpensNvencAndEncodes();
      CheckFailingSteps();
    }
  }
  g_texture.Reset();
  g_device.Reset();
  SetLogObserver(nullptr, nullptr);
  if (SUCCEEDED(com)) CoUninitialize();
  return Finish();
}
