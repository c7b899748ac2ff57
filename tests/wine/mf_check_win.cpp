// Drives the real Media Foundation encoder through scripted transforms
// (Wine registers no hardware encoder): type negotiation, codec properties
// accepted and refused, inputs and outputs in order, a stream change, drain,
// a transform that reports its failure, and the packets and parameter sets
// that come out. Needs a D3D11 device, so it runs under the virtual display.
#include <windows.h>

#include <codecapi.h>
#include <d3d11.h>
#include <mfapi.h>
#include <mferror.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/log.h"
#include "fake_mft/fake_transform.h"
#include "video/d3d11_device_win.h"
#include "video/mf_encoder_win.h"
#include "win_check.h"

namespace {

using namespace kp;
using namespace kp::wintest;
using Microsoft::WRL::ComPtr;
using Lines = std::vector<std::string>;

constexpr const char* kName = "Fake H.264 Encoder MFT";
constexpr int64_t kFrame = 166'667;
constexpr int64_t kStart = 987'654'321'000;

Lines g_lines;
void Observe(const char* message, void*) { g_lines.emplace_back(message); }

template <typename T>
void ExpectSame(const char* what, const std::vector<T>& got, const std::vector<T>& expected,
                std::string (*show)(const T&)) {
  if (got != expected) {
    std::printf("%s differ\n  got:     ", what);
    for (const T& item : got) std::printf(" [%s]", show(item).c_str());
    std::printf("\n  expected:");
    for (const T& item : expected) std::printf(" [%s]", show(item).c_str());
    std::printf("\n");
  }
  KP_CHECK(got == expected);
}
std::string Same(const std::string& s) { return s; }

struct Run {
  std::shared_ptr<FakeTransformRecord> record = std::make_shared<FakeTransformRecord>();
  std::unique_ptr<MfEncoder> encoder;
  PacketList packets;
};

// Opens an encoder over a fresh fake; the log holds what Initialize said.
bool Open(Run& run, const FakeTransformScript& script, ID3D11Device* device, ID3D11Texture2D* texture) {
  std::shared_ptr<FakeTransformRecord> record = run.record;
  run.encoder = std::make_unique<MfEncoder>(
      [script, record](ID3D11Device*, ComPtr<IMFTransform>& transform, std::string& name) {
        transform = MakeFakeTransform(script, record);
        name = kName;
        return true;
      });
  EncoderConfig config;
  config.width = 1280;
  config.height = 720;
  config.fps = 60;
  g_lines.clear();
  return run.encoder->Initialize(reinterpret_cast<GpuDevice*>(device), reinterpret_cast<GpuTexture*>(texture),
                                 config);
}

// Ends the encoder and checks the transform was stopped and shut down and
// saw no breach of its contract.
void Close(const char* scenario, Run& run) {
  run.encoder.reset();
  const std::vector<std::string>& calls = run.record->calls;
  KP_CHECK(calls.size() >= 3 && calls[calls.size() - 3] == "eos" && calls[calls.size() - 2] == "end" &&
           calls.back() == "shutdown");
  if (!run.record->errors.empty()) std::printf("%s: the fake transform found:\n%s", scenario, run.record->errors.c_str());
  KP_CHECK(run.record->errors.empty());
}

// NAL unit types of a length-prefixed payload; -1 marks a broken layout.
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

// Packets as "pts-index type keyframe", e.g. "2 5 K".
std::vector<std::string> Describe(const PacketList& packets) {
  std::vector<std::string> out;
  for (const auto& packet : packets) {
    std::string types;
    for (int type : UnitTypes(packet->data)) types += std::to_string(type);
    out.push_back(std::to_string((packet->pts - kStart) / kFrame) + " " + types + (packet->keyframe ? " K" : "") +
                  (packet->duration == kFrame ? "" : " bad duration"));
  }
  return out;
}

// Synchronous transform, one picture of latency: the NV12 input walk skips a
// YUY2 type and a refused NV12 type; every property is accepted; a stream
// change at the second output holds it back, so the next input is refused
// until that output is taken; the forced keyframe and the drained last
// picture come out in order; the parameter sets come from the samples.
void CheckSynchronous(ID3D11Device* device, ID3D11Texture2D* texture) {
  FakeTransformScript script;
  script.inputSubtypes = {MFVideoFormat_YUY2, MFVideoFormat_NV12, MFVideoFormat_NV12};
  script.firstAcceptedInputType = 2;
  script.streamChangeAtOutput = 1;
  Run run;
  KP_CHECK(Open(run, script, device, texture));
  ExpectSame<std::string>("sync: opening lines", g_lines,
                          {"mf: Fake H.264 Encoder MFT, H.264 1280x720@60, quality mode QP 20 (max 8.8 Mbps), sync"},
                          Same);
  KP_CHECK(run.encoder->Name() == kName);
  KP_CHECK(run.record->inputTypeIndex == 2 && run.record->deviceManagerSet);
  const std::vector<std::pair<GUID, uint64_t>> properties = {
      {CODECAPI_AVEncMPVGOPSize, 120},        {CODECAPI_AVEncMPVDefaultBPictureCount, 0},
      {CODECAPI_AVLowLatencyMode, 1},         {CODECAPI_AVEncCommonRateControlMode, 3},
      {CODECAPI_AVEncVideoEncodeQP, 20},      {CODECAPI_AVEncCommonMaxBitRate, 8'847'360}};
  KP_CHECK(run.record->properties == properties);

  for (int i = 0; i < 4; ++i) KP_CHECK(run.encoder->Encode(kStart + i * kFrame, kFrame, i == 2, run.packets));
  KP_CHECK(run.encoder->Drain(run.packets));
  ExpectSame<std::string>("sync: packets", Describe(run.packets), {"0 5 K", "1 1", "2 5 K", "3 1"}, Same);
  KP_CHECK(run.encoder->TrackInfo().sps == kFakeSampleSps && run.encoder->TrackInfo().pps == kFakeSamplePps);
  KP_CHECK(g_lines.size() == 1);
  Close("sync", run);
  ExpectSame<std::string>("sync: transform calls", run.record->calls,
                          {"in 0", "none", "in 1", "out 0", "none", "in 2", "change", "set type", "busy", "out 1",
                           "in 3", "out 2", "none", "drain", "out 3", "none", "eos", "end", "shutdown"},
                          Same);
}

// Asynchronous transform that provides its own samples, carries the
// parameter sets only in its output type and refuses some properties; after
// its third input it sends MEError: that frame and every later one fail, so
// the pipeline's failure count rebuilds the chain, and the rebuilt encoder
// (a fresh transform) encodes and drains.
void CheckAsynchronous(ID3D11Device* device, ID3D11Texture2D* texture) {
  FakeTransformScript script;
  script.async = true;
  script.providesSamples = true;
  script.parameterSetsInSamples = false;
  script.inputSubtypes = {MFVideoFormat_NV12};
  script.refusedProperties = {CODECAPI_AVEncMPVGOPSize, CODECAPI_AVEncCommonRateControlMode};
  script.errorAfterInput = 3;
  Run run;
  KP_CHECK(Open(run, script, device, texture));
  ExpectSame<std::string>("async: opening lines", g_lines,
                          {"mf: encoder doesn't accept GOP size=120",
                           "mf: constant-quality mode not supported, using peak-constrained VBR",
                           "mf: encoder doesn't accept VBR mode=1",
                           "mf: Fake H.264 Encoder MFT, H.264 1280x720@60, quality mode CQ 23 (max 8.8 Mbps), async"},
                          Same);
  KP_CHECK(run.record->properties.size() == 7 && run.record->properties[5].first == CODECAPI_AVEncCommonMeanBitRate &&
           run.record->properties[5].second == 4'423'680);

  g_lines.clear();
  for (int i = 0; i < 3; ++i) KP_CHECK(run.encoder->Encode(kStart + i * kFrame, kFrame, false, run.packets));
  KP_CHECK(!run.encoder->Encode(kStart + 3 * kFrame, kFrame, false, run.packets));
  KP_CHECK(!run.encoder->Encode(kStart + 4 * kFrame, kFrame, false, run.packets));
  KP_CHECK(!run.encoder->Drain(run.packets));
  ExpectSame<std::string>("async: failure lines", g_lines, {"mf: event queue failed (hr=0x8000FFFF)"}, Same);
  ExpectSame<std::string>("async: packets", Describe(run.packets), {"0 5 K", "1 1", "2 1"}, Same);
  KP_CHECK(run.encoder->TrackInfo().sps == kFakeHeaderSps && run.encoder->TrackInfo().pps == kFakeHeaderPps);
  Close("async", run);
  ExpectSame<std::string>("async: transform calls", run.record->calls,
                          {"need", "in 0", "need", "in 1", "have", "out 0", "need", "in 2", "have", "out 1", "need",
                           "in 3", "have", "out 2", "error", "drain", "eos", "end", "shutdown"},
                          Same);

  script.providesSamples = false;
  script.errorAfterInput = -1;
  Run rebuilt;
  KP_CHECK(Open(rebuilt, script, device, texture));
  for (int i = 0; i < 3; ++i) KP_CHECK(rebuilt.encoder->Encode(kStart + i * kFrame, kFrame, false, rebuilt.packets));
  KP_CHECK(rebuilt.encoder->Drain(rebuilt.packets));
  ExpectSame<std::string>("rebuilt: packets", Describe(rebuilt.packets), {"0 5 K", "1 1", "2 1"}, Same);
  Close("rebuilt", rebuilt);
}

void CheckOpeningFailures(ID3D11Device* device, ID3D11Texture2D* texture) {
  struct Case {
    std::vector<GUID> inputSubtypes;
    int firstAccepted;
    HRESULT outputTypeResult, beginStreamingResult;
    const char* line;
  };
  const Case cases[] = {
      {{MFVideoFormat_NV12}, 0, MF_E_INVALIDMEDIATYPE, S_OK, "mf: output type rejected (hr=0xC00D36B4)"},
      {{MFVideoFormat_YUY2, MFVideoFormat_NV12}, 2, S_OK, S_OK, "mf: encoder doesn't take NV12 input at 1280x720"},
      {{MFVideoFormat_NV12}, 0, S_OK, E_FAIL, "mf: encoder failed to start streaming"},
  };
  for (const Case& c : cases) {
    FakeTransformScript script;
    script.inputSubtypes = c.inputSubtypes;
    script.firstAcceptedInputType = c.firstAccepted;
    script.outputTypeResult = c.outputTypeResult;
    script.beginStreamingResult = c.beginStreamingResult;
    Run run;
    KP_CHECK(!Open(run, script, device, texture));
    ExpectSame<std::string>(c.line, g_lines, {c.line}, Same);
    Close(c.line, run);
  }
}

}  // namespace

int main() {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  SetLogObserver(&Observe, nullptr);
  ID3D11Device* device = nullptr;
  ID3D11Texture2D* texture = nullptr;
  HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                 D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT, nullptr, 0,
                                 D3D11_SDK_VERSION, &device, nullptr, nullptr);
  if (SUCCEEDED(hr)) {
    // Wine's D3D11 may lack NV12 render targets; the fake never reads the
    // pixels, so a BGRA texture of the same size serves.
    D3D11_TEXTURE2D_DESC desc = TextureDescription(1280, 720, DXGI_FORMAT_NV12, D3D11_BIND_RENDER_TARGET);
    hr = device->CreateTexture2D(&desc, nullptr, &texture);
    if (FAILED(hr)) {
      desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
      hr = device->CreateTexture2D(&desc, nullptr, &texture);
    }
  }
  KP_CHECK(SUCCEEDED(hr));
  if (SUCCEEDED(hr)) {
    CheckSynchronous(device, texture);
    CheckAsynchronous(device, texture);
    CheckOpeningFailures(device, texture);
  } else {
    std::printf("no D3D11 device or texture (hr=0x%08lX); is a display available?\n", static_cast<unsigned long>(hr));
  }
  if (texture) texture->Release();
  if (device) device->Release();
  SetLogObserver(nullptr, nullptr);
  if (SUCCEEDED(com)) CoUninitialize();
  return Finish();
}
