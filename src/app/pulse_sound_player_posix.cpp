#include "app/pulse_sound_player_posix.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace kp {

namespace {

constexpr pa_usec_t kLatencyUs = 50'000;
// Up to this much of a sound goes to the server with its first write, more
// than the latency asks for (the server keeps up to 4 MB), so that a busy
// machine never leaves the sink without the rest of it; the rest of a longer
// sound follows as the server asks.
constexpr size_t kWholeBytes = 1 << 20;

enum class Link { kConnecting, kReady, kAbsent };

Link LinkOf(pa_context* context) {
  if (context == nullptr) return Link::kAbsent;
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) return Link::kReady;
  return PA_CONTEXT_IS_GOOD(state) ? Link::kConnecting : Link::kAbsent;
}

// One sound on its way to the sink: written (most often whole) when the
// server first asks for data, then drained (which also starts a sound
// shorter than the server's pre-buffer), then done.
struct Playback {
  pa_stream* stream = nullptr;
  pa_operation* drain = nullptr;  // its reply must not reach a freed playback
  PcmSound sound;
  size_t writtenBytes = 0;
  bool done = false;

  ~Playback() {
    if (drain != nullptr) {
      pa_operation_cancel(drain);
      pa_operation_unref(drain);
    }
    if (stream == nullptr) return;
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
  }

  size_t TotalBytes() const { return sound.samples.size() * sizeof(int16_t); }

  static void OnWritable(pa_stream* stream, size_t bytes, void* user) {
    auto* self = static_cast<Playback*>(user);
    const size_t total = self->TotalBytes();
    if (self->writtenBytes == total) return;
    const size_t asked = self->writtenBytes == 0 ? std::max(bytes, kWholeBytes) : bytes;
    const size_t n = std::min(asked, total - self->writtenBytes);
    const auto* data = reinterpret_cast<const uint8_t*>(self->sound.samples.data()) + self->writtenBytes;
    if (pa_stream_write(stream, data, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
      self->done = true;
      return;
    }
    self->writtenBytes += n;
    if (self->writtenBytes < total) return;
    self->drain = pa_stream_drain(stream, &Playback::OnDrained, self);
    if (self->drain == nullptr) self->done = true;
  }

  static void OnDrained(pa_stream*, int, void* user) { static_cast<Playback*>(user)->done = true; }
};

}  // namespace

struct PulseSoundPlayer::Loop {
  pa_mainloop* mainloop = nullptr;
  std::thread thread;

  std::mutex mutex;  // guards the four below
  bool stop = false;
  bool reconnect = false;
  std::optional<PcmSound> pending;
  Link link = Link::kConnecting;

  // The thread's own.
  pa_context* context = nullptr;
  std::unique_ptr<Playback> playback;

  void Connect() {
    context = pa_context_new(pa_mainloop_get_api(mainloop), "Kaptora");
    if (context != nullptr && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) Disconnect();
  }

  void Disconnect() {
    playback.reset();
    if (context == nullptr) return;
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
  }

  void Start(PcmSound sound) {
    playback.reset();
    const pa_sample_spec spec{PA_SAMPLE_S16NE, sound.sampleRate, static_cast<uint8_t>(sound.channels)};
    if (sound.samples.empty() || pa_sample_spec_valid(&spec) == 0) return;
    auto next = std::make_unique<Playback>();
    next->sound = std::move(sound);
    next->stream = pa_stream_new(context, "Kaptora sound", &spec, nullptr);
    if (next->stream == nullptr) return;
    pa_stream_set_write_callback(next->stream, &Playback::OnWritable, next.get());
    // A short latency, so that the sound starts about when it is asked for
    // and the sink is not held at the server's default of two seconds.
    pa_buffer_attr attributes;
    std::memset(&attributes, 0xFF, sizeof attributes);  // (uint32_t)-1: the server's choice
    attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kLatencyUs, &spec));
    if (pa_stream_connect_playback(next->stream, nullptr, &attributes, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) <
        0) {
      return;
    }
    playback = std::move(next);
  }

  // Looks at the connection, the handed sound and the playback before each
  // wait, and so after every wake-up (a server event, a handed sound, the
  // stop) once its events were dispatched.
  void Run() {
    Connect();
    do {
      if (playback && (playback->done || !PA_STREAM_IS_GOOD(pa_stream_get_state(playback->stream)))) {
        playback.reset();
      }
      std::unique_lock lock(mutex);
      if (stop) break;
      Link now = LinkOf(context);
      if (now == Link::kAbsent && context != nullptr) Disconnect();
      if (now == Link::kAbsent && reconnect) {
        Connect();
        now = LinkOf(context);
      }
      reconnect = false;
      link = now;
      std::optional<PcmSound> sound;
      if (now == Link::kAbsent) pending.reset();
      if (now == Link::kReady) sound = std::exchange(pending, std::nullopt);
      lock.unlock();
      if (sound) Start(std::move(*sound));
    } while (pa_mainloop_iterate(mainloop, 1, nullptr) >= 0);
    Disconnect();
  }
};

PulseSoundPlayer::PulseSoundPlayer() {
  auto loop = std::make_unique<Loop>();
  loop->mainloop = pa_mainloop_new();
  if (loop->mainloop == nullptr) return;
  loop->thread = std::thread([l = loop.get()] { l->Run(); });
  loop_ = std::move(loop);
}

PulseSoundPlayer::~PulseSoundPlayer() {
  if (!loop_) return;
  {
    std::lock_guard lock(loop_->mutex);
    loop_->stop = true;
  }
  pa_mainloop_wakeup(loop_->mainloop);
  loop_->thread.join();
  pa_mainloop_free(loop_->mainloop);
}

bool PulseSoundPlayer::Play(PcmSound sound) {
  if (!loop_) return false;
  bool taken = false;
  {
    std::lock_guard lock(loop_->mutex);
    taken = loop_->link != Link::kAbsent;
    if (taken) {
      loop_->pending = std::move(sound);
    } else {
      loop_->reconnect = true;
    }
  }
  pa_mainloop_wakeup(loop_->mainloop);
  return taken;
}

}  // namespace kp
