#include "fake_video_chain.h"

namespace kp::test {

FakeVideoChain::~FakeVideoChain() { ++factory_.chainsDestroyed; }

bool FakeVideoChain::FindOutput(const std::wstring&, OutputDescription* output) {
  if (!factory_.findOutput(index_)) return false;
  *output = factory_.outputFor(index_);
  return true;
}

bool FakeVideoChain::CreateDevice() { return factory_.createDevice(index_); }

bool FakeVideoChain::InitializeComposer(uint32_t width, uint32_t height, uint32_t) {
  factory_.composerSizes.insert(factory_.composerSizes.end(), {width, height});
  return true;
}

bool FakeVideoChain::CreateEncoder(int32_t, const EncoderConfig& config) {
  factory_.encoderConfigs.push_back(config);
  track_.width = config.width;
  track_.height = config.height;
  track_.fps = config.fps;
  track_.sps = {0x67, factory_.spsTag(index_), 0x00, 0x1E};
  return true;
}

CaptureStatus FakeVideoChain::AcquireFrame() { return factory_.acquire({index_, frames_++}); }

bool FakeVideoChain::Compose(bool showCursor) {
  factory_.showCursorSeen.push_back(showCursor);
  return factory_.compose(Call());
}

bool FakeVideoChain::Encode(int64_t pts, int64_t duration, PacketList& packets) {
  if (factory_.encode) return factory_.encode(Call(), pts, duration, packets);
  auto packet = std::make_shared<EncodedPacket>();
  packet->pts = pts;
  packet->duration = duration;
  packet->keyframe = Call().frame % 60 == 0;
  packet->data.assign(100, 0);
  packets.push_back(std::move(packet));
  return true;
}

int32_t FakeVideoChain::CaptureRecoveries() const { return factory_.recoveries(index_); }

std::unique_ptr<VideoChain> FakeChainFactory::CreateChain() {
  if (returnNoChain) return nullptr;
  return std::make_unique<FakeVideoChain>(*this, chainsCreated++);
}

}  // namespace kp::test
