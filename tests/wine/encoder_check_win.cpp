// Drives encoder selection and the NVENC binding on a real D3D11 device
// (Wine under a virtual display in CI). The fake NVIDIA driver library lies
// beside the program, planted where the product must never load it from.
// Run twice: with no driver in the system folder (--no-driver), where no
// hardware encoder exists, and with the fake copied into the system folder
// (--driver), where NVENC must open and behave call for call.
#include <windows.h>

#include <d3d11.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/log.h"
#include "fake_nvenc/fake_nvenc_control.h"
#include "video/d3d11_device_win.h"
#include "video/encoder_selection.h"
#include "video/h264_annexb.h"
#include "win_check.h"

namespace {

using namespace kp;
namespace fake = kp::fakenvenc;
using Lines = std::vector<std::string>;
using Calls = std::vector<int32_t>;

constexpr const char* kNvencMissing = "nvenc: nvEncodeAPI64.dll not found (NVIDIA driver missing?)";
constexpr const char* kFallback = "encoder: NVENC unavailable, trying the Windows hardware encoder";
constexpr const char* kNoneUsable = "encoder: no usable H.264 encoder on this GPU";
// Wine registers no hardware H.264 transform: the enumeration succeeds with
// an empty list.
constexpr const char* kMfMissing = "mf: no hardware H.264 encoder on this GPU (hr=0x00000000)";

Lines g_lines;

void Observe(const char* message, void*) { g_lines.emplace_back(message); }

void ExpectLines(const char* scenario, const Lines& expected) {
  const bool same = g_lines == expected;
  if (!same) {
    std::printf("%s: log lines differ\n  got:\n", scenario);
    for (const auto& line : g_lines) std::printf("    %s\n", line.c_str());
    std::printf("  expected:\n");
    for (const auto& line : expected) std::printf("    %s\n", line.c_str());
  }
  KP_CHECK(same);
}

struct Gpu {
  ID3D11Device* device = nullptr;
  ID3D11DeviceContext* context = nullptr;
  ID3D11Texture2D* texture = nullptr;
  ~Gpu() {
    if (texture) texture->Release();
    if (context) context->Release();
    if (device) device->Release();
  }
  GpuDevice* Device() const { return reinterpret_cast<GpuDevice*>(device); }
  GpuTexture* Texture() const { return reinterpret_cast<GpuTexture*>(texture); }
};

bool CreateGpu(Gpu& gpu, uint32_t width, uint32_t height) {
  const HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                       D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT, nullptr,
                                       0, D3D11_SDK_VERSION, &gpu.device, nullptr, &gpu.context);
  if (FAILED(hr)) {
    std::printf("D3D11CreateDevice failed (hr=0x%08lX); is a display available?\n", static_cast<unsigned long>(hr));
    return false;
  }
  D3D11_TEXTURE2D_DESC desc = TextureDescription(width, height, DXGI_FORMAT_NV12, D3D11_BIND_RENDER_TARGET);
  if (FAILED(gpu.device->CreateTexture2D(&desc, nullptr, &gpu.texture))) {
    // Wine's D3D11 may lack NV12 render targets. Neither encoder reads the
    // pixels here (the fake driver only sees the pointer; Media Foundation
    // finds no transform first), so any texture of that size will do.
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    if (FAILED(gpu.device->CreateTexture2D(&desc, nullptr, &gpu.texture))) {
      std::printf("CreateTexture2D failed\n");
      return false;
    }
    std::printf("note: NV12 texture unavailable, using a BGRA texture of the same size\n");
  }
  return true;
}

EncoderConfig Config720p() {
  EncoderConfig config;
  config.width = 1280;
  config.height = 720;
  config.fps = 60;
  return config;
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

std::wstring SystemFolder() {
  wchar_t path[MAX_PATH] = {};
  return std::wstring(path, GetSystemDirectoryW(path, MAX_PATH)) + L"\\";
}

bool DriverIn(const std::wstring& folder) {
  return GetFileAttributesW((folder + L"nvEncodeAPI64.dll").c_str()) != INVALID_FILE_ATTRIBUTES;
}

// --- Without any NVIDIA driver library -----------------------------------

void CheckWithoutDriver(const Gpu& gpu) {
  struct Case {
    const char* name;
    EncoderChoice choice;
    Lines lines;
  };
  const Case cases[] = {
      // Wine's adapter reports NVIDIA's vendor id, so Auto tries NVENC first.
      {"auto", EncoderChoice::Auto, {kNvencMissing, kFallback, kMfMissing, kNoneUsable}},
      {"nvenc has no fallback", EncoderChoice::Nvenc, {kNvencMissing, kNoneUsable}},
      {"media foundation never tries nvenc", EncoderChoice::MediaFoundation, {kMfMissing, kNoneUsable}},
      {"unknown choice acts as media foundation", static_cast<EncoderChoice>(5), {kMfMissing, kNoneUsable}},
  };
  for (const Case& c : cases) {
    g_lines.clear();
    std::unique_ptr<VideoEncoder> encoder = CreateVideoEncoder(c.choice, gpu.Device(), gpu.Texture(), Config720p());
    KP_CHECK(encoder == nullptr);
    ExpectLines(c.name, c.lines);
  }
}

// --- With the fake driver -------------------------------------------------

fake::Control* g_fake = nullptr;

void ResetFake() { *g_fake = fake::Control{}; }

Calls RecordedCalls() { return Calls(g_fake->calls, g_fake->calls + g_fake->callCount); }

void ExpectCalls(const char* scenario, const Calls& expected) {
  const Calls got = RecordedCalls();
  if (got != expected) {
    std::printf("%s: driver calls differ\n  got:     ", scenario);
    for (int32_t c : got) std::printf(" %d", c);
    std::printf("\n  expected:");
    for (int32_t c : expected) std::printf(" %d", c);
    std::printf("\n");
  }
  KP_CHECK(got == expected);
}

void ExpectNoFakeErrors(const char* scenario) {
  if (g_fake->errorCount != 0) std::printf("%s: the fake driver found:\n%s", scenario, g_fake->errors);
  KP_CHECK(g_fake->errorCount == 0);
}

const Calls kOpenCalls = {fake::kGetMaxVersion, fake::kCreateInstance, fake::kOpenSession,
                          fake::kGetPreset,     fake::kInitialize,     fake::kRegister,
                          fake::kCreateBitstream, fake::kGetSequenceParams};
const Calls kPictureCalls = {fake::kMap, fake::kEncode, fake::kLock, fake::kUnlock, fake::kUnmap};
const Calls kCloseCalls = {fake::kEncodeEos, fake::kDestroyBitstream, fake::kUnregister, fake::kDestroyEncoder};

Calls Join(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// NAL unit types of a length-prefixed payload.
std::vector<int> UnitTypes(const std::vector<uint8_t>& data) {
  std::vector<int> types;
  size_t pos = 0;
  while (pos + 4 <= data.size()) {
    const size_t length = (size_t{data[pos]} << 24) | (size_t{data[pos + 1]} << 16) | (size_t{data[pos + 2]} << 8) |
                          data[pos + 3];
    pos += 4;
    if (length == 0 || pos + length > data.size()) return {-1};
    types.push_back(data[pos] & 0x1F);
    pos += length;
  }
  if (pos != data.size()) types.push_back(-1);
  return types;
}

void CheckAutoOpensNvencAndEncodes(const Gpu& gpu) {
  ResetFake();
  g_lines.clear();
  std::unique_ptr<VideoEncoder> encoder =
      CreateVideoEncoder(EncoderChoice::Auto, gpu.Device(), gpu.Texture(), Config720p());
  KP_CHECK(encoder != nullptr);
  if (encoder == nullptr) return;
  KP_CHECK(encoder->Name() == "NVIDIA NVENC");
  ExpectLines("auto with driver",
              {"nvenc: H.264 1280x720@60 P4, constant quality CQ 23 (max 8.8 Mbps), keyframe every 2s",
               "encoder: NVIDIA NVENC"});
  ExpectCalls("auto with driver: open", kOpenCalls);
  KP_CHECK(g_fake->device == gpu.device);
  KP_CHECK(g_fake->texture == gpu.texture);
  KP_CHECK(g_fake->presetLevel == 4);
  KP_CHECK(g_fake->tuning == 1);
  KP_CHECK(g_fake->width == 1280 && g_fake->height == 720);
  KP_CHECK(g_fake->frameRateNum == 60 && g_fake->frameRateDen == 1);
  KP_CHECK(g_fake->profileIsHigh == 1);
  KP_CHECK(g_fake->gopLength == 120 && g_fake->idrPeriod == 120);
  KP_CHECK(g_fake->frameIntervalP == 1);
  KP_CHECK(g_fake->rateControlMode == 1);
  KP_CHECK(g_fake->averageBitRate == 0);
  KP_CHECK(g_fake->maxBitRate == 8'847'360);
  KP_CHECK(g_fake->targetQuality == 23 && g_fake->targetQualityLsb == 0);
  KP_CHECK((g_fake->rcFlags & 0x08) != 0);   // spatial AQ
  KP_CHECK((g_fake->rcFlags & 0x20) == 0);   // no look-ahead
  KP_CHECK(g_fake->lookaheadDepth == 0);
  KP_CHECK((g_fake->h264Flags & 0x1000) != 0);  // SPS/PPS with every IDR
  KP_CHECK(g_fake->chromaFormatIdc == 1);
  KP_CHECK(g_fake->vuiSignalType == 1 && g_fake->vuiFormat == 5 && g_fake->vuiFullRange == 0);
  KP_CHECK(g_fake->vuiColourDescription == 1 && g_fake->vuiPrimaries == 1 && g_fake->vuiTransfer == 1 &&
           g_fake->vuiMatrix == 1);

  const VideoTrackInfo& track = encoder->TrackInfo();
  KP_CHECK(track.kind == 0 && track.width == 1280 && track.height == 720 && track.fps == 60);
  KP_CHECK((track.sps == std::vector<uint8_t>{0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78}));
  KP_CHECK((track.pps == std::vector<uint8_t>{0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0}));

  // First picture: IDR; second: P; third: forced IDR.
  const int64_t frame = 166'667;
  const int64_t start = 123'456'789'000;
  PacketList packets;
  for (int i = 0; i < 3; ++i) {
    g_fake->callCount = 0;
    const bool force = i == 2;
    KP_CHECK(encoder->Encode(start + i * frame, frame, force, packets));
    ExpectCalls("picture", kPictureCalls);
    KP_CHECK(g_fake->lastPicFlags == (force ? 0x6u : 0u));
    KP_CHECK(g_fake->lastTimeStamp == static_cast<uint64_t>(start + i * frame));
    KP_CHECK(g_fake->lastDuration == static_cast<uint64_t>(frame));
  }
  KP_CHECK(packets.size() == 3);
  if (packets.size() == 3) {
    for (int i = 0; i < 3; ++i) {
      KP_CHECK(packets[i]->pts == start + i * frame);
      KP_CHECK(packets[i]->duration == frame);
    }
    KP_CHECK(packets[0]->keyframe && UnitTypes(packets[0]->data) == std::vector<int>{5});
    KP_CHECK(!packets[1]->keyframe && UnitTypes(packets[1]->data) == std::vector<int>{1});
    // The forced keyframe came with SPS, PPS and a delimiter; none is kept.
    KP_CHECK(packets[2]->keyframe && UnitTypes(packets[2]->data) == std::vector<int>{5});
  }

  // A picture the driver holds back: success without a packet.
  packets.clear();
  g_fake->callCount = 0;
  g_fake->needMoreInputOnPicture = 3;
  KP_CHECK(encoder->Encode(start + 3 * frame, frame, false, packets));
  KP_CHECK(packets.empty());
  ExpectCalls("need more input", {fake::kMap, fake::kEncode, fake::kUnmap});

  // Per-picture failures leave the encoder usable.
  // A failed unlock comes after the bytes were copied out: the packet is
  // delivered and the call succeeds.
  struct Failure {
    int32_t call;
    int32_t status;
    bool packetKept;
    const char* line;
    Calls calls;
  };
  const Failure failures[] = {
      {fake::kMap, 16, false, "nvenc: map input failed (status 16)", {fake::kMap}},
      {fake::kEncode, 8, false, "nvenc: encode picture failed (status 8)", {fake::kMap, fake::kEncode, fake::kUnmap}},
      {fake::kLock, 13, false, "nvenc: lock bitstream failed (status 13)",
       {fake::kMap, fake::kEncode, fake::kLock, fake::kUnmap}},
      {fake::kUnlock, 9, true, "nvenc: unlock bitstream failed (status 9)", kPictureCalls},
  };
  for (const Failure& f : failures) {
    g_fake->callCount = 0;
    g_fake->failCall = f.call;
    g_fake->failStatus = f.status;
    g_lines.clear();
    packets.clear();
    KP_CHECK(encoder->Encode(11, frame, false, packets) == f.packetKept);
    KP_CHECK(packets.size() == (f.packetKept ? 1u : 0u));
    if (!packets.empty()) KP_CHECK(packets[0]->pts == 11 && UnitTypes(packets[0]->data) == std::vector<int>{1});
    ExpectLines(f.line, {f.line});
    ExpectCalls(f.line, f.calls);
  }
  g_fake->failCall = 0;
  g_fake->callCount = 0;
  packets.clear();
  KP_CHECK(encoder->Encode(7, frame, false, packets) && packets.size() == 1);
  KP_CHECK(encoder->Drain(packets) && packets.size() == 1);

  g_fake->callCount = 0;
  encoder.reset();
  ExpectCalls("close", kCloseCalls);
  ExpectNoFakeErrors("auto with driver");
}

void CheckSettingsReachTheDriver(const Gpu& gpu) {
  struct Case {
    const char* name;
    RateControl rateControl;
    uint32_t quality, preset, averageBitrate;
    uint32_t presetLevel, targetQuality, average, max;
    const char* line;
  };
  const Case cases[] = {
      {"vbr, preset 0 is P1", RateControl::Vbr, 23, 0, 8'000'000, 1, 0, 8'000'000, 12'000'000,
       "nvenc: H.264 1280x720@60 P0, 8.0 Mbps VBR (max 12.0), keyframe every 2s"},
      {"quality 60, preset 9 is P7", RateControl::ConstantQuality, 60, 9, 0, 7, 51, 0, 8'847'360,
       "nvenc: H.264 1280x720@60 P9, constant quality CQ 60 (max 8.8 Mbps), keyframe every 2s"},
  };
  for (const Case& c : cases) {
    ResetFake();
    g_lines.clear();
    EncoderConfig config = Config720p();
    config.rateControl = c.rateControl;
    config.quality = c.quality;
    config.preset = c.preset;
    config.averageBitrate = c.averageBitrate;
    std::unique_ptr<VideoEncoder> encoder =
        CreateVideoEncoder(EncoderChoice::Nvenc, gpu.Device(), gpu.Texture(), config);
    KP_CHECK(encoder != nullptr);
    ExpectLines(c.name, {c.line, "encoder: NVIDIA NVENC"});
    KP_CHECK(g_fake->presetLevel == c.presetLevel);
    if (c.rateControl == RateControl::ConstantQuality) KP_CHECK(g_fake->targetQuality == c.targetQuality);
    KP_CHECK(g_fake->averageBitRate == c.average);
    KP_CHECK(g_fake->maxBitRate == c.max);
    encoder.reset();
    ExpectNoFakeErrors(c.name);
  }
}

void CheckMediaFoundationChoiceLeavesTheDriverAlone(const Gpu& gpu) {
  ResetFake();
  g_lines.clear();
  KP_CHECK(CreateVideoEncoder(EncoderChoice::MediaFoundation, gpu.Device(), gpu.Texture(), Config720p()) == nullptr);
  ExpectLines("media foundation with driver", {kMfMissing, kNoneUsable});
  ExpectCalls("media foundation with driver", {});
}

void CheckOldDriver(const Gpu& gpu) {
  const char* versionLine =
      "nvenc: driver supports API 13.0 but 13.1 is required \xE2\x80\x94 update the NVIDIA driver";
  ResetFake();
  g_fake->maxVersion = 208;
  g_lines.clear();
  KP_CHECK(CreateVideoEncoder(EncoderChoice::Auto, gpu.Device(), gpu.Texture(), Config720p()) == nullptr);
  ExpectLines("driver 13.0, auto", {versionLine, kFallback, kMfMissing, kNoneUsable});
  ExpectCalls("driver 13.0, auto", {fake::kGetMaxVersion});

  ResetFake();
  g_fake->maxVersion = 208;
  g_lines.clear();
  KP_CHECK(CreateVideoEncoder(EncoderChoice::Nvenc, gpu.Device(), gpu.Texture(), Config720p()) == nullptr);
  ExpectLines("driver 13.0, nvenc", {versionLine, kNoneUsable});
}

void CheckFailingSteps(const Gpu& gpu) {
  struct Case {
    int32_t call;
    int32_t status;
    bool openFailureReturnsHandle;
    bool omitPps;
    const char* line;
    Calls calls;
  };
  using namespace fake;
  const Case cases[] = {
      {kGetMaxVersion, 3, false, false, "nvenc: NvEncodeAPIGetMaxSupportedVersion failed (status 3)", {kGetMaxVersion}},
      {kCreateInstance, 6, false, false, "nvenc: NvEncodeAPICreateInstance failed (status 6)",
       {kGetMaxVersion, kCreateInstance}},
      {kOpenSession, 2, false, false, "nvenc: open session failed (status 2)",
       {kGetMaxVersion, kCreateInstance, kOpenSession}},
      {kOpenSession, 4, true, false, "nvenc: open session failed (status 4)",
       {kGetMaxVersion, kCreateInstance, kOpenSession, kDestroyEncoder}},
      {kGetPreset, 15, false, false, "nvenc: get preset failed (status 15)",
       {kGetMaxVersion, kCreateInstance, kOpenSession, kGetPreset, kEncodeEos, kDestroyEncoder}},
      {kInitialize, 8, false, false, "nvenc: initialize failed (status 8)",
       {kGetMaxVersion, kCreateInstance, kOpenSession, kGetPreset, kInitialize, kEncodeEos, kDestroyEncoder}},
      {kRegister, 23, false, false, "nvenc: register input failed (status 23)",
       {kGetMaxVersion, kCreateInstance, kOpenSession, kGetPreset, kInitialize, kRegister, kEncodeEos,
        kDestroyEncoder}},
      {kCreateBitstream, 10, false, false, "nvenc: create bitstream buffer failed (status 10)",
       {kGetMaxVersion, kCreateInstance, kOpenSession, kGetPreset, kInitialize, kRegister, kCreateBitstream,
        kEncodeEos, kUnregister, kDestroyEncoder}},
      {kGetSequenceParams, 20, false, false, "nvenc: get SPS/PPS failed (status 20)",
       Join({kOpenCalls, kCloseCalls})},
      {0, 0, false, true, "nvenc: SPS/PPS missing from sequence params", Join({kOpenCalls, kCloseCalls})},
  };
  for (const Case& c : cases) {
    ResetFake();
    g_fake->failCall = c.call;
    g_fake->failStatus = c.status;
    g_fake->openFailureReturnsHandle = c.openFailureReturnsHandle ? 1 : 0;
    g_fake->omitPps = c.omitPps ? 1 : 0;
    g_lines.clear();
    KP_CHECK(CreateVideoEncoder(EncoderChoice::Nvenc, gpu.Device(), gpu.Texture(), Config720p()) == nullptr);
    ExpectLines(c.line, {c.line, kNoneUsable});
    ExpectCalls(c.line, c.calls);
    ExpectNoFakeErrors(c.line);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool withDriver = argc > 1 && std::strcmp(argv[1], "--driver") == 0;
  const bool withoutDriver = argc > 1 && std::strcmp(argv[1], "--no-driver") == 0;
  if (!withDriver && !withoutDriver) {
    std::printf("usage: encoder_check_win --driver | --no-driver\n");
    return 2;
  }
  // The planted copy is always there; only the system folder's copy counts.
  KP_CHECK(DriverIn(ProgramFolder()));
  KP_CHECK(DriverIn(SystemFolder()) == withDriver);

  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  SetLogObserver(&Observe, nullptr);
  {
    Gpu gpu;
    KP_CHECK(CreateGpu(gpu, 1280, 720));
    if (gpu.texture != nullptr) {
      if (withoutDriver) {
        CheckWithoutDriver(gpu);
      } else {
        // The same library the product loads, from the system folder, kept
        // loaded so its script and record live across encoders.
        HMODULE library = LoadLibraryExW(L"nvEncodeAPI64.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        KP_CHECK(library != nullptr);
        wchar_t loaded[MAX_PATH] = {};
        const std::wstring loadedPath(loaded, GetModuleFileNameW(library, loaded, MAX_PATH));
        KP_CHECK(_wcsnicmp(loadedPath.c_str(), SystemFolder().c_str(), SystemFolder().size()) == 0);
        auto controlBlock = reinterpret_cast<fake::ControlBlockFn>(
            reinterpret_cast<void*>(GetProcAddress(library, "FakeNvencControlBlock")));
        KP_CHECK(controlBlock != nullptr);
        if (controlBlock != nullptr) {
          g_fake = controlBlock();
          CheckAutoOpensNvencAndEncodes(gpu);
          CheckSettingsReachTheDriver(gpu);
          CheckMediaFoundationChoiceLeavesTheDriverAlone(gpu);
          CheckOldDriver(gpu);
          CheckFailingSteps(gpu);
        }
        if (library != nullptr) FreeLibrary(library);
      }
    }
  }
  SetLogObserver(nullptr, nullptr);
  if (SUCCEEDED(com)) CoUninitialize();
  return wintest::Finish();
}
