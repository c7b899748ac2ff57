#include "audio/pulse_audio_device_posix.h"

#include <pulse/pulseaudio.h>

#include <cstring>
#include <functional>
#include <string>

#include "platform/clock.h"
#include "platform/text.h"

namespace kp {

namespace {

constexpr uint32_t kSampleRate = 48000;
constexpr uint32_t kFrameBytes = 2 * sizeof(float);
constexpr int kConnectTimeoutMs = 1000;
constexpr int kQueryTimeoutMs = 1000;
constexpr int kStreamTimeoutMs = 3000;

// Runs `loop` until `done()` or `timeoutMs` pass; true when done.
bool RunUntil(pa_mainloop* loop, const std::function<bool()>& done, int timeoutMs) {
  const uint64_t deadline = MonotonicNow() + static_cast<uint64_t>(timeoutMs) * 10'000;
  while (!done()) {
    const uint64_t now = MonotonicNow();
    if (now >= deadline) return false;
    if (pa_mainloop_prepare(loop, static_cast<int>((deadline - now) / 10)) < 0 || pa_mainloop_poll(loop) < 0 ||
        pa_mainloop_dispatch(loop) < 0) {
      return false;
    }
  }
  return true;
}

bool ContextSettled(pa_context* context) {
  const pa_context_state_t state = pa_context_get_state(context);
  return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
}

}  // namespace

// One connection to the server, with its own main loop, used only by the
// source's thread.
struct PulseAudioDevice::Server {
  pa_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;

  ~Server() {
    if (stream != nullptr) {
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
    }
    if (context != nullptr) {
      pa_context_disconnect(context);
      pa_context_unref(context);
    }
    if (loop != nullptr) pa_mainloop_free(loop);
  }

  bool Open() {
    loop = pa_mainloop_new();
    context = loop != nullptr ? pa_context_new(pa_mainloop_get_api(loop), "Kaptora") : nullptr;
    if (context == nullptr || pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    RunUntil(loop, [this] { return ContextSettled(context); }, kConnectTimeoutMs);
    return pa_context_get_state(context) == PA_CONTEXT_READY;
  }

  bool Good() const {
    return context != nullptr && pa_context_get_state(context) == PA_CONTEXT_READY &&
           (stream == nullptr || PA_STREAM_IS_GOOD(pa_stream_get_state(stream)));
  }

  // Runs an operation to its end; false on a timeout or a lost server.
  bool Finish(pa_operation* operation) {
    if (operation == nullptr) return false;
    const bool done = RunUntil(
        loop, [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, kQueryTimeoutMs);
    pa_operation_unref(operation);
    return done;
  }

  struct Defaults {
    std::string sink, source;
  };
  bool ReadDefaults(Defaults* defaults) {
    auto callback = [](pa_context*, const pa_server_info* info, void* user) {
      auto* d = static_cast<Defaults*>(user);
      if (info->default_sink_name != nullptr) d->sink = info->default_sink_name;
      if (info->default_source_name != nullptr) d->source = info->default_source_name;
    };
    return Finish(pa_context_get_server_info(context, callback, defaults));
  }

  // The description of source `name`; false when there is no such source.
  bool ReadSource(const std::string& name, std::string* description) {
    struct Query {
      bool found = false;
      std::string description;
    } query;
    auto callback = [](pa_context*, const pa_source_info* info, int eol, void* user) {
      auto* q = static_cast<Query*>(user);
      if (eol == 0 && info != nullptr) {
        q->found = true;
        q->description = info->description != nullptr ? info->description : "?";
      }
    };
    if (!Finish(pa_context_get_source_info_by_name(context, name.c_str(), callback, &query))) return false;
    *description = query.description;
    return query.found;
  }
};

bool PulseServerReachable() {
  pa_mainloop* loop = pa_mainloop_new();
  if (loop == nullptr) return false;
  pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Kaptora");
  bool ready = false;
  if (context != nullptr) {
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
      RunUntil(loop, [context] { return ContextSettled(context); }, kConnectTimeoutMs);
      ready = pa_context_get_state(context) == PA_CONTEXT_READY;
      pa_context_disconnect(context);
    }
    pa_context_unref(context);
  }
  pa_mainloop_free(loop);
  return ready;
}

PulseAudioDevice::PulseAudioDevice(AudioSourceKind kind, Clock& clock) : kind_(kind), clock_(clock) {}

PulseAudioDevice::~PulseAudioDevice() = default;

void PulseAudioDevice::LeaveThread() { Disconnect(); }

bool PulseAudioDevice::Connect() {
  if (server_ && server_->Good()) return true;
  server_ = std::make_unique<Server>();
  if (server_->Open()) return true;
  server_.reset();
  return false;
}

void PulseAudioDevice::Disconnect() {
  server_.reset();
  currentId_.clear();
}

DeviceOpenResult PulseAudioDevice::Open(const std::wstring& deviceSetting) {
  DeviceOpenResult result;
  if (!Connect()) {
    result.status = DeviceOpenStatus::kActivateFailed;
    result.code = PA_ERR_CONNECTIONREFUSED;
    return result;
  }
  Server& s = *server_;
  Server::Defaults defaults;
  if (!s.ReadDefaults(&defaults)) {
    result.status = DeviceOpenStatus::kActivateFailed;
    result.code = static_cast<uint32_t>(pa_context_errno(s.context));
    return result;
  }
  // A named source that does not exist (unplugged) falls back to the default.
  std::string name = kind_ == AudioSourceKind::kDesktop ? defaults.sink + ".monitor" : defaults.source;
  std::string description;
  if (kind_ == AudioSourceKind::kMicrophone && deviceSetting != L"default" &&
      s.ReadSource(WideToUtf8(deviceSetting), &description)) {
    name = WideToUtf8(deviceSetting);
  } else if (name.empty() || name == ".monitor" || !s.ReadSource(name, &description)) {
    result.status = DeviceOpenStatus::kNoEndpoint;
    return result;
  }

  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kSampleRate, 2};
  s.stream = pa_stream_new(s.context, kind_ == AudioSourceKind::kDesktop ? "Desktop Audio" : "Microphone", &spec,
                           nullptr);
  pa_buffer_attr attributes;
  std::memset(&attributes, 0xFF, sizeof attributes);  // (uint32_t)-1: the server's choice
  attributes.fragsize = kSampleRate / 100 * kFrameBytes;
  // Positions come from the client's own queue (see ReadPackets), not from
  // the latency the server reports: at a stream's start that figure is the
  // set-up's (over half a second on a null sink's monitor), and with
  // interpolation it glides down from there for as long again.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_NOFLAGS);
  if (s.stream == nullptr || pa_stream_connect_record(s.stream, name.c_str(), &attributes, flags) < 0 ||
      !RunUntil(s.loop, [&s] { return pa_stream_get_state(s.stream) != PA_STREAM_CREATING; }, kStreamTimeoutMs) ||
      pa_stream_get_state(s.stream) != PA_STREAM_READY) {
    result.status = DeviceOpenStatus::kInitializeFailed;
    result.code = static_cast<uint32_t>(pa_context_errno(s.context));
    Close();
    return result;
  }
  currentId_ = Utf8ToWide(name);
  fragmentClock_.Reset();
  result.status = DeviceOpenStatus::kOk;
  result.friendlyName = description;
  return result;
}

bool PulseAudioDevice::IsOpen() const { return server_ && server_->stream != nullptr; }

void PulseAudioDevice::Close() {
  if (server_ && server_->stream != nullptr) {
    pa_stream_disconnect(server_->stream);
    pa_stream_unref(server_->stream);
    server_->stream = nullptr;
  }
  currentId_.clear();
}

void PulseAudioDevice::Wait(int milliseconds) {
  if (!IsOpen() || pa_stream_readable_size(server_->stream) > 0) return;
  pa_mainloop* loop = server_->loop;
  if (pa_mainloop_prepare(loop, milliseconds * 1000) >= 0 && pa_mainloop_poll(loop) >= 0) pa_mainloop_dispatch(loop);
}

uint32_t PulseAudioDevice::ReadPackets(const std::function<void(const DevicePacket&)>& sink) {
  if (!IsOpen()) return kDeviceInvalidated;
  Server& s = *server_;
  pa_mainloop_iterate(s.loop, 0, nullptr);  // pending events, without blocking
  if (!s.Good()) return kDeviceInvalidated;
  while (pa_stream_readable_size(s.stream) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(s.stream, &data, &bytes) < 0) return kDeviceInvalidated;
    if (bytes == 0) break;
    // A hole (data == null) was never captured: it is dropped, and the next
    // fragment's position says where capture resumed.
    if (data != nullptr && bytes >= kFrameBytes) {
      // Everything still queued came after this fragment, which the source
      // handed over as soon as it was full: it was captured that long before
      // now (the source's own fragment of latency is not counted).
      const int64_t queuedFrames = static_cast<int64_t>(pa_stream_readable_size(s.stream) / kFrameBytes);
      DevicePacket packet;
      packet.samples = static_cast<const float*>(data);
      packet.frames = static_cast<uint32_t>(bytes / kFrameBytes);
      const int64_t estimate = clock_.Now() - queuedFrames * kTicksPerSecond / kSampleRate;
      packet.devicePosition = static_cast<uint64_t>(fragmentClock_.Next(estimate, packet.frames));
      sink(packet);
    }
    pa_stream_drop(s.stream);
  }
  return 0;
}

std::wstring PulseAudioDevice::DefaultEndpointId() {
  if (!Connect()) return {};
  Server::Defaults defaults;
  if (!server_->ReadDefaults(&defaults)) return {};
  if (kind_ == AudioSourceKind::kDesktop) return defaults.sink.empty() ? L"" : Utf8ToWide(defaults.sink + ".monitor");
  return Utf8ToWide(defaults.source);
}

std::wstring PulseAudioDevice::CurrentEndpointId() const { return currentId_; }

bool PulseAudioDevice::EndpointActive(const std::wstring& id) {
  std::string description;
  return Connect() && server_->ReadSource(WideToUtf8(id), &description);
}

}  // namespace kp
