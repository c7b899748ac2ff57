// A scriptable AAC codec for tests. Each output's payload is the exact PCM
// bytes of the input block it stands for, so a test can read back what the
// mixer fed into every track.
#pragma once

#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <vector>

#include "audio/aac_codec.h"

namespace kp::test {

struct FakeCodecScript {
  uint32_t createFailure = 0;          // non-zero: the factory fails with it
  uint32_t inputTypeFailure = 0;       // SetInputType fails with it...
  bool inputNeedsOutputFirst = false;  // ...but only while no output type is set
  uint32_t outputTypeFailure = 0;      // SetOutputType always fails with it
  uint32_t reportedBufferSize = 0;
  int primingOutputs = 0;            // outputs held back (codec delay)
  int64_t reportedTimeOffset = 0;    // codec's own output time minus input time
  std::set<int> failingInputs;       // input indices whose ProcessInput fails
  std::set<int> notAcceptingInputs;  // input indices refused once with "not accepting"
  std::set<int> emptyOutputs;        // output indices that come out with zero bytes
};

// What the codecs made by one factory saw, shared with the test.
struct FakeCodecRecord {
  int created = 0, beginStreams = 0, drains = 0, inputCalls = 0;
  std::vector<int64_t> inputTimes, inputDurations;
  uint32_t lastBufferSize = 0, outputKbps = 0;
};

class FakeAacCodec : public AacCodec {
 public:
  FakeAacCodec(const FakeCodecScript& script, std::shared_ptr<FakeCodecRecord> record)
      : script_(script), record_(std::move(record)) {}

  uint32_t SetInputType() override {
    const bool refused = script_.inputTypeFailure != 0 && !(script_.inputNeedsOutputFirst && outputSet_);
    return refused ? script_.inputTypeFailure : kOk;
  }
  uint32_t SetOutputType(uint32_t kbps) override {
    if (script_.outputTypeFailure != 0) return script_.outputTypeFailure;
    outputSet_ = true;
    record_->outputKbps = kbps;
    return kOk;
  }
  uint32_t OutputBufferSize() override { return script_.reportedBufferSize; }
  void BeginStream() override { ++record_->beginStreams; }

  uint32_t ProcessInput(const int16_t* samples, uint32_t frames, int64_t time, int64_t duration) override {
    const int index = inputIndex_;
    ++record_->inputCalls;
    if (script_.notAcceptingInputs.count(index) && refused_.insert(index).second) return kNotAccepting;
    ++inputIndex_;
    if (script_.failingInputs.count(index)) return 0x80004005;
    record_->inputTimes.push_back(time);
    record_->inputDurations.push_back(duration);
    std::vector<uint8_t> bytes(static_cast<size_t>(frames) * 4);
    std::memcpy(bytes.data(), samples, bytes.size());
    queue_.push_back({std::move(bytes), time + script_.reportedTimeOffset});
    return kOk;
  }

  uint32_t ProcessOutput(uint32_t bufferSize, std::vector<uint8_t>* data, bool* hasTime, int64_t* time) override {
    record_->lastBufferSize = bufferSize;
    data->clear();
    if (queue_.empty() || (!draining_ && static_cast<int>(queue_.size()) <= script_.primingOutputs)) {
      return kNeedMoreInput;
    }
    if (!script_.emptyOutputs.count(outputIndex_++)) *data = std::move(queue_.front().first);
    *hasTime = true;
    *time = queue_.front().second;
    queue_.pop_front();
    return kOk;
  }

  uint32_t Drain() override {
    ++record_->drains;
    draining_ = true;
    return kOk;
  }

 private:
  FakeCodecScript script_;
  std::shared_ptr<FakeCodecRecord> record_;
  std::deque<std::pair<std::vector<uint8_t>, int64_t>> queue_;  // PCM bytes, output time
  std::set<int> refused_;
  int inputIndex_ = 0;
  int outputIndex_ = 0;
  bool outputSet_ = false;
  bool draining_ = false;
};

inline AacCodecFactory FakeCodecFactory(const FakeCodecScript& script, std::shared_ptr<FakeCodecRecord> record) {
  return [script, record](uint32_t* failureCode) -> std::unique_ptr<AacCodec> {
    ++record->created;
    if (script.createFailure != 0) {
      *failureCode = script.createFailure;
      return nullptr;
    }
    return std::make_unique<FakeAacCodec>(script, record);
  };
}

}  // namespace kp::test
