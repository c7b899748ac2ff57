// The device edge of an audio source: one capture endpoint opened and read by
// the source's own thread. On Windows it is a WASAPI shared-mode stream
// (loopback for the desktop sound); on Linux a tone generator with scripted
// faults. Everything around the device calls (reopening, positioning of the
// captured frames, log lines) is the source's portable code.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kp {

class Clock;

enum class AudioSourceKind { kDesktop = 0, kMicrophone = 1 };

// "desktop" or "mic": the label in every log line of a source.
const char* AudioSourceLabel(AudioSourceKind kind);

// One packet as the device hands it over, valid only during the callback.
struct DevicePacket {
  // Interleaved stereo 32-bit float, frames * 2 values; not read when silent.
  const float* samples = nullptr;
  uint32_t frames = 0;
  // The device marked the packet as silence.
  bool silent = false;
  // The device marked its time stamp as unreliable.
  bool timestampError = false;
  // Time of the packet's first frame, 100-ns ticks on the monotonic clock;
  // 0 when the device gave none.
  uint64_t devicePosition = 0;
};

enum class DeviceOpenStatus {
  kOk,
  kNoEndpoint,         // no such endpoint and no default one: fails silently
  kActivateFailed,     // the audio client could not be activated
  kInitializeFailed,   // initialize/event/service/start failed; already closed
};

struct DeviceOpenResult {
  DeviceOpenStatus status = DeviceOpenStatus::kNoEndpoint;
  uint32_t code = 0;          // the system's failure code (HRESULT)
  std::string friendlyName;   // UTF-8; "?" when the endpoint has none
};

// Used by one thread, the source's capture thread. EnterThread is its first
// call and LeaveThread its last.
class AudioDevice {
 public:
  // The device's failure code for a read on a device that went away.
  static constexpr uint32_t kDeviceInvalidated = 0x88890004;

  virtual ~AudioDevice() = default;

  virtual void EnterThread() = 0;
  virtual void LeaveThread() = 0;

  // Opens the endpoint named by `deviceSetting` ("default" or an endpoint
  // id; an id that does not exist, or names an endpoint that is not active
  // (unplugged, disabled), falls back to the default endpoint) and starts
  // the stream: 48 kHz stereo float, 200 ms buffer, event driven.
  virtual DeviceOpenResult Open(const std::wstring& deviceSetting) = 0;
  virtual bool IsOpen() const = 0;
  // Stops the stream and releases it; the current endpoint id becomes empty.
  virtual void Close() = 0;

  // Blocks until the device signals data or `milliseconds` pass.
  virtual void Wait(int milliseconds) = 0;
  // Hands every pending packet to `sink`, in order, until none is left.
  // Returns 0, or the code of the first call that failed (the device is then
  // to be closed and reopened). A buffer that the device reports empty with
  // a success code ends the read with 0 and hands nothing on.
  virtual uint32_t ReadPackets(const std::function<void(const DevicePacket&)>& sink) = 0;

  // The id of the current default endpoint for this device's data flow and
  // role; empty when it cannot be read.
  virtual std::wstring DefaultEndpointId() = 0;
  // The id of the open endpoint; empty when closed.
  virtual std::wstring CurrentEndpointId() const = 0;
  // Whether endpoint `id` exists and is active, so that opening it would
  // not fall back to the default.
  virtual bool EndpointActive(const std::wstring& id) = 0;
};

// The platform's device for `kind`: WASAPI on Windows; on Linux the sound
// server's source when a server runs, else the tone stand-in. `clock` is the
// clock the source runs on.
std::unique_ptr<AudioDevice> CreatePlatformAudioDevice(AudioSourceKind kind, Clock& clock);

using AudioDeviceFactory = std::function<std::unique_ptr<AudioDevice>(AudioSourceKind, Clock&)>;

}  // namespace kp
