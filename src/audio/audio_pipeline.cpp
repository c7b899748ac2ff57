#include "audio/audio_pipeline.h"

#include <utility>

#include "audio/audio_mixer.h"
#include "audio/audio_ring.h"
#include "audio/audio_source.h"
#include "audio/media_thread_scope.h"

namespace kp {

namespace {

constexpr int64_t kMixerSleepMs = 10;

}  // namespace

AudioPipeline::AudioPipeline(const AudioConfig& config, AudioEnvironment environment)
    : config_(config),
      environment_(std::move(environment)),
      clock_(environment_.clock ? *environment_.clock : SystemClock()),
      trackKinds_(BuildTrackKinds(config)),
      trackInfos_(BuildTrackInfos(trackKinds_)) {
  if (!environment_.deviceFactory) environment_.deviceFactory = CreatePlatformAudioDevice;
  if (!environment_.codecFactory) environment_.codecFactory = CreatePlatformAacCodec;
}

AudioPipeline::~AudioPipeline() { Stop(); }

void AudioPipeline::Start(AudioPacketSink sink) {
  if (trackKinds_.empty() || Running()) return;
  sink_ = std::move(sink);
  origin_ = clock_.Now();
  stop_ = false;
  blocksMixed_ = 0;
  if (config_.desktopEnabled) {
    desktopRing_ = std::make_unique<AudioRing>();
    desktopSource_ = std::make_unique<AudioSource>(
        AudioSourceKind::kDesktop, config_.desktopDevice, config_.desktopVolume, origin_, desktopRing_.get(),
        environment_.deviceFactory(AudioSourceKind::kDesktop, clock_), clock_);
    desktopSource_->Start();
  }
  if (config_.microphoneEnabled) {
    microphoneRing_ = std::make_unique<AudioRing>();
    microphoneSource_ = std::make_unique<AudioSource>(
        AudioSourceKind::kMicrophone, config_.microphoneDevice, config_.microphoneVolume, origin_,
        microphoneRing_.get(), environment_.deviceFactory(AudioSourceKind::kMicrophone, clock_), clock_);
    microphoneSource_->Start();
  }
  mixerThread_ = std::thread([this] { MixerMain(); });
}

void AudioPipeline::Stop() {
  stop_ = true;
  if (mixerThread_.joinable()) mixerThread_.join();
  if (desktopSource_) desktopSource_->Stop();
  if (microphoneSource_) microphoneSource_->Stop();
  desktopSource_.reset();
  microphoneSource_.reset();
  sink_ = nullptr;
  desktopRing_.reset();
  microphoneRing_.reset();
}

void AudioPipeline::MixerMain() {
  MediaThreadScope mediaScope;
  if (environment_.onMixerThreadStart) environment_.onMixerThreadStart();
  {
    AudioMixer mixer(trackKinds_, config_.bitrateKbps, origin_, desktopRing_.get(), microphoneRing_.get(),
                     environment_.codecFactory, sink_);
    mixer.Begin();
    while (!stop_) {
      clock_.SleepMs(kMixerSleepMs);
      mixer.Tick(clock_.Now(), &stop_);
      blocksMixed_ = mixer.blocksMixed();
    }
  }
  if (environment_.onMixerThreadEnd) environment_.onMixerThreadEnd();
}

}  // namespace kp
