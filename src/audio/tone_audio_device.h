// The Linux stand-in for a capture endpoint: a tone generator that behaves
// like a WASAPI stream. It produces 10 ms packets as the clock passes them,
// stamps each with the time of its first frame on the monotonic clock, and
// follows a script of device faults (gaps, late delivery, jumping or missing
// time stamps, a drifting sample clock, silent packets, lost devices,
// changes of the default endpoint, failing opens) so that the portable
// positioning, reopening and mixing code meets them exactly as on Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio_device.h"

namespace kp {

// A span of time in ticks, measured from the device's first successful open.
struct ToneWindow {
  int64_t start = 0;
  int64_t length = 0;
  bool Contains(int64_t t) const { return t >= start && t - start < length; }
};

struct ToneScript {
  // Frequency of the sine; 0 gives a constant level (handy for exact checks).
  double frequencyHz = 440.0;
  float amplitude = 0.25f;
  // When not empty the tone sounds only inside these windows (silence, but
  // still delivered, elsewhere).
  std::vector<ToneWindow> bursts;
  // When not negative, the bursts are placed on the monotonic clock from
  // this moment instead of from the first open: a stimulus shared with the
  // video stand-in for alignment checks.
  int64_t burstOrigin = -1;
  uint32_t packetFrames = 480;
  // Relative error of the device's sample clock: 0.01 delivers 1 % more
  // frames per second than the monotonic clock says, while the time stamps
  // stay true.
  double clockError = 0.0;
  // Packets starting inside a gap are never delivered (the stream resumes
  // with true time stamps after it).
  std::vector<ToneWindow> gaps;
  // Packets flagged silent; their data is deliberately not silence.
  std::vector<ToneWindow> silentPackets;
  // Packets carrying no time stamp (position 0).
  std::vector<ToneWindow> missingTimestamps;
  struct Shift {
    ToneWindow window;
    int64_t offset = 0;  // added to the stamps of packets starting inside
  };
  std::vector<Shift> stampShifts;
  struct Delay {
    ToneWindow window;
    int64_t delay = 0;  // packets starting inside arrive this much later
  };
  std::vector<Delay> lateDeliveries;
  // At each of these moments the next read fails (device lost).
  std::vector<int64_t> readFailures;
  // At each of these moments the default endpoint becomes another one.
  std::vector<int64_t> defaultChanges;
  // Inside these windows there is no default endpoint at all (every device
  // unplugged): its id reads empty and opening fails silently.
  std::vector<ToneWindow> noDefaultEndpoint;
  // An endpoint besides the defaults, for a configured device id (a USB
  // microphone). It always exists, but inside these windows it is not
  // active (unplugged or disabled): opening it then falls back to the
  // default, and a stream open on it is lost as the window begins.
  std::wstring otherEndpoint;
  std::vector<ToneWindow> otherEndpointInactive;
  // At each of these moments the next read finds the buffer empty with a
  // success code: nothing is handed on; the due packets come with the next.
  std::vector<int64_t> emptyReads;
  // The first `failingOpens` opens fail with this status and code. By
  // default the one a privacy block gives: access denied when the stream is
  // initialised (activation itself succeeds).
  int failingOpens = 0;
  DeviceOpenStatus openFailure = DeviceOpenStatus::kInitializeFailed;
  uint32_t openFailureCode = 0x80070005;
  // Friendly name; empty gives "Tone <frequency> Hz".
  std::string name;
};

class ToneAudioDevice : public AudioDevice {
 public:
  ToneAudioDevice(AudioSourceKind kind, Clock& clock, ToneScript script);

  // What the Linux build captures: a 440 Hz tone as the desktop sound and a
  // 1 kHz tone as the microphone, both at a quarter of full scale.
  static ToneScript DefaultScript(AudioSourceKind kind);
  // The signal value at `elapsed` ticks after the first open.
  static float SignalAt(const ToneScript& script, int64_t elapsed) { return SignalAt(script, elapsed, elapsed); }
  // The same with the bursts looked up at `burstElapsed`.
  static float SignalAt(const ToneScript& script, int64_t elapsed, int64_t burstElapsed);

  void EnterThread() override {}
  void LeaveThread() override {}
  DeviceOpenResult Open(const std::wstring& deviceSetting) override;
  bool IsOpen() const override { return open_; }
  void Close() override;
  void Wait(int milliseconds) override;
  uint32_t ReadPackets(const std::function<void(const DevicePacket&)>& sink) override;
  std::wstring DefaultEndpointId() override;
  std::wstring CurrentEndpointId() const override { return currentId_; }
  bool EndpointActive(const std::wstring& id) override;

  int opens() const { return opens_; }

 private:
  // True time of frame `frame` of the current stream.
  int64_t FrameTime(int64_t frame) const;
  // When the packet starting at stream frame `frame` may be read.
  int64_t DueTime(int64_t frame) const;
  // Ticks since the first successful open; -1 before it.
  int64_t Elapsed() const;
  // Takes the next scripted moment from `moments` once it has come.
  bool Due(const std::vector<int64_t>& moments, size_t& used) const;

  AudioSourceKind kind_;
  Clock& clock_;
  ToneScript script_;
  bool open_ = false;
  int opens_ = 0;
  int64_t epoch_ = -1;
  int64_t streamStart_ = 0;
  int64_t nextFrame_ = 0;
  size_t failuresUsed_ = 0;
  size_t emptyReadsUsed_ = 0;
  std::wstring currentId_;
  std::vector<float> buffer_;
};

}  // namespace kp
