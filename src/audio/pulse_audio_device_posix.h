// The Linux build's real capture endpoints, through the sound server's
// PulseAudio interface (PipeWire serves it too): the desktop sound is the
// default sink's monitor source, the microphone the default source or the
// source named by the device setting. 48 kHz stereo float in 10 ms
// fragments. The server gives no capture time per fragment, so a fragment's
// position is the clock's now minus what is queued behind it, steadied by a
// FragmentClock. The client never starts a server (no autospawn).
#pragma once

#include <memory>
#include <string>

#include "audio/audio_device.h"
#include "audio/fragment_clock.h"

namespace kp {

// True when a sound server answers now (within about a second).
bool PulseServerReachable();

class PulseAudioDevice : public AudioDevice {
 public:
  PulseAudioDevice(AudioSourceKind kind, Clock& clock);
  ~PulseAudioDevice() override;

  void EnterThread() override {}
  void LeaveThread() override;

  // A server that cannot be reached, or a stream it refuses, is an activate
  // failure (the code is the server's error number), so the source retries
  // every second as it does for any endpoint.
  DeviceOpenResult Open(const std::wstring& deviceSetting) override;
  bool IsOpen() const override;
  void Close() override;
  void Wait(int milliseconds) override;
  // A server or stream that went away reads as an invalidated device.
  uint32_t ReadPackets(const std::function<void(const DevicePacket&)>& sink) override;
  std::wstring DefaultEndpointId() override;
  std::wstring CurrentEndpointId() const override;
  // A source of that name exists on the server now.
  bool EndpointActive(const std::wstring& id) override;

 private:
  struct Server;
  bool Connect();
  void Disconnect();

  AudioSourceKind kind_;
  Clock& clock_;
  std::unique_ptr<Server> server_;
  std::wstring currentId_;
  FragmentClock fragmentClock_;
};

}  // namespace kp
