// The Linux build's capture endpoints: the sound server's sources when one
// runs, else the tone stand-ins.
#include "audio/audio_device.h"
#include "audio/audio_source_posix.h"
#include "audio/pulse_audio_device_posix.h"
#include "audio/tone_audio_device.h"
#include "platform/stand_ins_posix.h"

namespace kp {

namespace {

bool UsePulse() {
  static const bool usePulse = !StandInsRequired() && PulseServerReachable();
  return usePulse;
}

}  // namespace

std::unique_ptr<AudioDevice> CreatePlatformAudioDevice(AudioSourceKind kind, Clock& clock) {
  if (UsePulse()) return std::make_unique<PulseAudioDevice>(kind, clock);
  return std::make_unique<ToneAudioDevice>(kind, clock, ToneAudioDevice::DefaultScript(kind));
}

std::string PlatformAudioSourceName() {
  return UsePulse() ? "the sound server" : "the tone generators (stand-in)";
}

}  // namespace kp
