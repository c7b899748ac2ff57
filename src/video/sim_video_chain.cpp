#include "video/sim_video_chain.h"

#include <utility>

#include "app/log.h"
#include "platform/clock.h"
#include "video/encoder_selection.h"
#include "video/output_selector.h"

namespace kp {

SimVideoChain::SimVideoChain(SimChainOptions options, std::shared_ptr<SimMachine> machine)
    : options_(std::move(options)), machine_(std::move(machine)) {}

SimVideoChain::~SimVideoChain() = default;  // members go in reverse order: encoder first

bool SimVideoChain::FindOutput(const std::wstring& monitor, OutputDescription* output) {
  if (!options_.outputPresent) return false;
  // The same choice as on Windows: a name match, else the primary output.
  const OutputSelector selector(monitor);
  output_ = options_.desktop;
  for (const SimDesktopSpec& d : options_.moreOutputs) {
    if (selector.Offer(d.deviceName, /*isPrimary=*/false) == OutputOffer::Chosen) {
      output_ = d;
      break;
    }
  }
  adapter_ = machine_->AdapterOf(output_);
  output->adapterDescription = options_.adapterDescription + (adapter_ == 0 ? L"" : L" 2");
  output->left = output_.originX;
  output->top = output_.originY;
  output->right = output_.originX + output_.width;
  output->bottom = output_.originY + output_.height;
  return true;
}

bool SimVideoChain::CreateDevice() {
  device_ = std::make_unique<Device>(Device{options_.adapterDescription, adapter_});
  return true;
}

bool SimVideoChain::OpenCapture(const PipelineConfig& /*config*/) {
  capture_ = std::make_unique<SimCapture>(output_, device_->adapter, machine_,
                                          options_.captureClock ? *options_.captureClock : SystemClock(),
                                          options_.flashes, options_.flashClock ? options_.flashClock : &SystemClock());
  return capture_->Open();
}

bool SimVideoChain::InitializeComposer(uint32_t width, uint32_t height, uint32_t fps) {
  return composer_.Initialize(width, height, fps);
}

bool SimVideoChain::CreateEncoder(int32_t choice, const EncoderConfig& config) {
  // The same selection as on Windows (choice, vendor, fallback and its log
  // lines); only the encoders behind it are the stand-in.
  const EncoderMaker make = [this](EncoderKind kind) -> std::unique_ptr<VideoEncoder> {
    const bool available = kind == EncoderKind::Nvenc ? options_.nvencAvailable : options_.encoderAvailable;
    if (!available) return nullptr;
    return std::make_unique<SimH264Encoder>(options_.encoder);
  };
  encoder_ = OpenVideoEncoder(EncoderChoiceFromValue(choice), options_.vendorId,
                              reinterpret_cast<GpuDevice*>(device_.get()),
                              reinterpret_cast<GpuTexture*>(&composer_.Output()), config, make);
  return encoder_ != nullptr;
}

CaptureStatus SimVideoChain::AcquireFrame() { return capture_->AcquireFrame(); }

bool SimVideoChain::Compose(bool showCursor) {
  return composer_.Compose(capture_->Image(), capture_->FrameRotation(), capture_->OriginX(), capture_->OriginY(),
                           showCursor, capture_->Cursor());
}

bool SimVideoChain::Encode(int64_t pts, int64_t duration, PacketList& packets) {
  return encoder_->Encode(pts, duration, /*forceKeyframe=*/false, packets);
}

const VideoTrackInfo& SimVideoChain::TrackInfo() const { return encoder_ ? encoder_->TrackInfo() : emptyTrack_; }

int32_t SimVideoChain::CaptureRecoveries() const { return capture_ ? capture_->Recoveries() : 0; }

SimVideoChainFactory::SimVideoChainFactory(SimChainOptions options)
    : options_(std::move(options)), machine_(std::make_shared<SimMachine>()) {
  machine_->script = options_.captureScript;
}

std::unique_ptr<VideoChain> SimVideoChainFactory::CreateChain() {
  ++chainsCreated_;
  return std::make_unique<SimVideoChain>(options_, machine_);
}

}  // namespace kp
