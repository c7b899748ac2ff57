// A scripted H.264 encoder transform for driving the real MfEncoder under
// Wine, which registers no hardware encoder. Synchronous or asynchronous
// (events through IMFMediaEventGenerator), with or without its own output
// samples. It behaves as a transform must: it refuses input while an output
// waits to be taken (synchronous) or was not asked for (asynchronous), holds
// `latency` pictures back until drained, and answers an output call with a
// stream change where scripted. Every call that matters is recorded in order;
// contract breaches by the encoder are collected in `errors`.
#pragma once

#include <mftransform.h>
#include <strmif.h>
#include <wrl/client.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace kp::wintest {

struct FakeTransformScript {
  bool async = false;
  bool providesSamples = false;
  std::vector<GUID> inputSubtypes;   // offered by GetInputAvailableType, in order
  int firstAcceptedInputType = 0;    // SetInputType refuses earlier indexes
  HRESULT outputTypeResult = S_OK;   // SetOutputType's answer
  HRESULT beginStreamingResult = S_OK;
  std::vector<GUID> refusedProperties;  // ICodecAPI values answered E_INVALIDARG
  int latency = 1;                   // outputs trail inputs by this many pictures
  int streamChangeAtOutput = -1;     // this output first answers a stream change
  int errorAfterInput = -1;          // async: MEError instead of the next input request
  bool parameterSetsInSamples = true;  // else only the output type's sequence header has them
};

struct FakeTransformRecord {
  std::vector<std::string> calls;  // "in 3", "out 2", "change", "drain", "need", "have", "done", "error", ...
  std::vector<std::pair<GUID, uint64_t>> properties;  // every ICodecAPI value set, in order
  int inputTypeIndex = -1;                             // the type accepted
  int outputTypesSet = 0;
  bool deviceManagerSet = false;
  bool shutDown = false;
  std::string errors;
};

// The Annex-B units the transform emits, so a check can tell them apart.
extern const std::vector<uint8_t> kFakeSampleSps, kFakeSamplePps, kFakeHeaderSps, kFakeHeaderPps;

// Creates the transform (one reference, for the caller). The record is shared
// so it outlives the transform the encoder releases.
Microsoft::WRL::ComPtr<IMFTransform> MakeFakeTransform(const FakeTransformScript& script,
                                                       std::shared_ptr<FakeTransformRecord> record);

}  // namespace kp::wintest
