// Drives the real Media Foundation encoder through the scripted transform of
// fake_mft/ (Wine registers no hardware encoder): type negotiation, codec
// properties accepted and refused, inputs and outputs in order, a stream
// change, drain, a transform that reports its failure, and the packets and
// parameter sets that come out. Needs a D3D11 device (a virtual display).
#include <windows.h>

#include <d3d11.h>

#include <memory>

#include "app/log.h"
#include "fake_mft/fake_transform.h"
#include "video/mf_encoder_win.h"
#include "win_check.h"

namespace {

using namespace kp;
using namespace kp::wintest;
using Microsoft::WRL::ComPtr;

constexpr int64_t kFrame = 166'667;
constexpr int64_t kStart = 987'654'321'000;

ComPtr<ID3D11Device> g_device;
ComPtr<ID3D11Texture2D> g_texture;

struct Run {
  std::shared_ptr<FakeTransformRecord> record = std::make_shared<FakeTransformRecord>();
  std::unique_ptr<MfEncoder> encoder;
  PacketList packets;

  // Opens an encoder over a fresh fake; g_lines holds what Initialize said.
  bool Open(const FakeTransformScript& script, uint32_t failStalls = 0) {
    encoder = std::make_unique<MfEncoder>(
        [script, record = record](ID3D11Device*, ComPtr<IMFTransform>& transform, std::string& name) {
          transform = FakeTransform::Make(script, record);
          name = "Fake H.264 Encoder MFT";
          return true;
        });
    EncoderConfig config;
    config.width = 1280;
    config.height = 720;
    config.fps = 60;
    config.failStalls = failStalls;
    g_lines.clear();
    return encoder->Initialize(reinterpret_cast<GpuDevice*>(g_device.Get()),
                               reinterpret_cast<GpuTexture*>(g_texture.Get()), config);
  }

  // Ends the encoder: the transform must have been stopped and shut down and
  // seen no breach of its contract.
  void Close(const char* scenario) {
    encoder.reset();
    const std::vector<std::string>& calls = record->calls;
    KP_CHECK(calls.size() >= 3 && std::vector<std::string>(calls.end() - 3, calls.end()) ==
                                      std::vector<std::string>{"eos", "end", "shutdown"});
    if (!record->errors.empty()) std::printf("%s: the fake transform found:\n%s", scenario, record->errors.c_str());
    KP_CHECK(record->errors.empty());
  }
};

// Synchronous transform: the NV12 input walk skips a YUY2 type and a refused
// NV12 type; every property is accepted; a stream change at the second output
// holds it back, so the next input is refused until that output is taken; the
// forced keyframe and the drained last picture come out in order; the
// parameter sets come from the samples.
void CheckSynchronous() {
  FakeTransformScript script;
  script.inputSubtypes = {MFVideoFormat_YUY2, MFVideoFormat_NV12, MFVideoFormat_NV12};
  script.firstAcceptedInputType = 2;
  script.streamChangeAtOutput = 1;
  Run run;
  KP_CHECK(run.Open(script));
  KP_CHECK(Same("sync: opening", g_lines,
                {"mf: Fake H.264 Encoder MFT, H.264 1280x720@60, quality mode QP 20 (max 8.8 Mbps), sync"}));
  KP_CHECK(run.encoder->Name() == "Fake H.264 Encoder MFT");
  KP_CHECK(run.record->inputTypeIndex == 2 && run.record->deviceManagerSet);
  const std::vector<std::pair<GUID, uint64_t>> properties = {
      {CODECAPI_AVEncMPVGOPSize, 120},   {CODECAPI_AVEncMPVDefaultBPictureCount, 0},
      {CODECAPI_AVLowLatencyMode, 1},    {CODECAPI_AVEncCommonRateControlMode, 3},
      {CODECAPI_AVEncVideoEncodeQP, 20}, {CODECAPI_AVEncCommonMaxBitRate, 8'847'360}};
  KP_CHECK(run.record->properties == properties);

  for (int i = 0; i < 4; ++i) KP_CHECK(run.encoder->Encode(kStart + i * kFrame, kFrame, i == 2, run.packets));
  KP_CHECK(run.encoder->Drain(run.packets));
  KP_CHECK(Same("sync: packets", Describe(run.packets, kStart, kFrame), {"0 5 K", "1 1", "2 5 K", "3 1"}));
  KP_CHECK(run.encoder->TrackInfo().sps == kFakeSampleSps && run.encoder->TrackInfo().pps == kFakeSamplePps);
  KP_CHECK(g_lines.size() == 1);
  run.Close("sync");
  KP_CHECK(Same("sync: transform calls", run.record->calls,
                {"in 0", "none", "in 1", "out 0", "none", "in 2", "change", "set type", "busy", "out 1", "in 3",
                 "out 2", "none", "drain", "out 3", "none", "eos", "end", "shutdown"}));
}

// Asynchronous transform that provides its own samples, carries the
// parameter sets only in its output type and refuses some properties; after
// its fourth input it sends MEError: that frame and every later one fail (the
// pipeline's failure count then rebuilds the chain), and the rebuilt encoder
// over a fresh transform encodes and drains.
void CheckAsynchronous() {
  FakeTransformScript script;
  script.async = true;
  script.providesSamples = true;
  script.parameterSetsInSamples = false;
  script.inputSubtypes = {MFVideoFormat_NV12};
  script.refusedProperties = {CODECAPI_AVEncMPVGOPSize, CODECAPI_AVEncCommonRateControlMode};
  script.errorAfterInput = 3;
  Run run;
  KP_CHECK(run.Open(script));
  KP_CHECK(Same("async: opening", g_lines,
                {"mf: encoder doesn't accept GOP size=120",
                 "mf: constant-quality mode not supported, using peak-constrained VBR",
                 "mf: encoder doesn't accept VBR mode=1",
                 "mf: Fake H.264 Encoder MFT, H.264 1280x720@60, quality mode CQ 23 (max 8.8 Mbps), async"}));
  KP_CHECK(run.record->properties.size() == 7 && run.record->properties[5].first == CODECAPI_AVEncCommonMeanBitRate &&
           run.record->properties[5].second == 4'423'680);

  g_lines.clear();
  for (int i = 0; i < 5; ++i) KP_CHECK(run.encoder->Encode(kStart + i * kFrame, kFrame, false, run.packets) == (i < 3));
  KP_CHECK(!run.encoder->Drain(run.packets));
  KP_CHECK(Same("async: failure", g_lines, {"mf: event queue failed (hr=0x8000FFFF)"}));
  KP_CHECK(Same("async: packets", Describe(run.packets, kStart, kFrame), {"0 5 K", "1 1", "2 1"}));
  KP_CHECK(run.encoder->TrackInfo().sps == kFakeHeaderSps && run.encoder->TrackInfo().pps == kFakeHeaderPps);
  run.Close("async");
  KP_CHECK(Same("async: transform calls", run.record->calls,
                {"need", "in 0", "need", "in 1", "have", "out 0", "need", "in 2", "have", "out 1", "need", "in 3",
                 "have", "out 2", "error", "drain", "eos", "end", "shutdown"}));

  script.providesSamples = false;
  script.errorAfterInput = -1;
  Run rebuilt;
  KP_CHECK(rebuilt.Open(script));
  for (int i = 0; i < 3; ++i) KP_CHECK(rebuilt.encoder->Encode(kStart + i * kFrame, kFrame, false, rebuilt.packets));
  KP_CHECK(rebuilt.encoder->Drain(rebuilt.packets));
  KP_CHECK(Same("rebuilt: packets", Describe(rebuilt.packets, kStart, kFrame), {"0 5 K", "1 1", "2 1"}));
  rebuilt.Close("rebuilt");
}

// An asynchronous transform that stops asking for input after its third
// input, without an error: each frame waits 200 ms and is dropped. The
// engine's encoder (stalls failed) fails frames at once after about 1 s of
// drops in a row, so the pipeline rebuilds it; another caller's keeps dropping.
void CheckStall() {
  for (const uint32_t failStalls : {1u, 0u}) {
    FakeTransformScript script;
    script.async = true;
    script.inputSubtypes = {MFVideoFormat_NV12};
    script.stopAskingAfterInput = 2;
    Run run;
    KP_CHECK(run.Open(script, failStalls));
    g_lines.clear();
    int drops = 0;
    bool failed = false;
    ULONGLONG failedIn = 0;
    for (int i = 0; i < 12 && !failed; ++i) {
      const ULONGLONG begin = GetTickCount64();
      const bool ok = run.encoder->Encode(kStart + i * kFrame, kFrame, false, run.packets);
      if (!ok) failedIn = GetTickCount64() - begin;
      failed = !ok;
      if (ok && i >= 3) ++drops;
    }
    if (failStalls != 0) {
      KP_CHECK(failed && drops >= 4 && drops <= 6);
      KP_CHECK(failedIn < 50);
      KP_CHECK(!run.encoder->Encode(kStart, kFrame, false, run.packets));
      KP_CHECK(Same("stall: lines", g_lines,
                    {"mf: encoder didn't ask for input in time, dropping a frame",
                     "mf: encoder stopped asking for input \xE2\x80\x94 failing its frames"}));
    } else {
      KP_CHECK(!failed && drops == 9);
    }
    run.Close("stall");
  }
}

void CheckOpeningFailures() {
  const struct {
    std::vector<GUID> inputSubtypes;
    int firstAccepted;
    HRESULT outputTypeResult, beginStreamingResult;
    const char* line;
  } cases[] = {
      {{MFVideoFormat_NV12}, 0, MF_E_INVALIDMEDIATYPE, S_OK, "mf: output type rejected (hr=0xC00D36B4)"},
      {{MFVideoFormat_YUY2, MFVideoFormat_NV12}, 2, S_OK, S_OK, "mf: encoder doesn't take NV12 input at 1280x720"},
      {{MFVideoFormat_NV12}, 0, S_OK, E_FAIL, "mf: encoder failed to start streaming"},
  };
  for (const auto& c : cases) {
    FakeTransformScript script;
    script.inputSubtypes = c.inputSubtypes;
    script.firstAcceptedInputType = c.firstAccepted;
    script.outputTypeResult = c.outputTypeResult;
    script.beginStreamingResult = c.beginStreamingResult;
    Run run;
    KP_CHECK(!run.Open(script));
    KP_CHECK(Same(c.line, g_lines, {c.line}));
    run.Close(c.line);
  }
}

}  // namespace

int wmain() {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  SetLogObserver(&Observe, nullptr);
  KP_CHECK(CreateGpu(&g_device, &g_texture));
  if (g_texture) {
    CheckSynchronous();
    CheckAsynchronous();
    CheckStall();
    CheckOpeningFailures();
  }
  g_texture.Reset();
  g_device.Reset();
  SetLogObserver(nullptr, nullptr);
  if (SUCCEEDED(com)) CoUninitialize();
  return Finish();
}
