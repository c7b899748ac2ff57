// Media benchmarks: each figure is measured against a baseline in the same
// run (ratios, not absolute times), as medians of several runs.
//
//  1. Saving a clip (20 Mbit/s video at 60 fps + three 160 kbit/s audio
//     tracks, segment files in the page cache) against dd (bs=8M) and cp
//     copying the same segment files on the same file system, and against
//     ffmpeg remuxing the same content (-c copy) from an ffmpeg-written MP4.
//     Every step starts after `sync`, so none inherits another's dirty
//     pages, and the order of the steps alternates between rounds.
//  2. Building the MP4 header (moov built once, then its chunk offsets
//     filled in, as the writer does) for a 3,600-s clip at 240 fps against
//     the time its media bytes take at the throughput measured in 1.
//  3. PushVideo/PushAudio latency while the writer writes, rolls segments and
//     trims the index, against the same pushes into a buffer whose writer is
//     held (it drops what it takes off the queue), in alternating order.
//  4. Index memory per buffered packet, counting allocated capacity.
//
// With --clone-saves, only this instead (DIR on a file system that clones
// blocks): the save time of a 60-s and a 300-s clip of one buffer, the same
// rounds of bare clone calls of their segments (the kernel's floor for those
// saves), and the free space a 300-s save takes.
//
// usage: media_bench DIR [--runs N] [--clip-seconds S] [--latency-seconds S]
//                        [--clone-saves 1]
// DIR must be on the file system to measure; it is emptied and reused.
#include <fcntl.h>
#include <linux/fs.h>
#include <malloc.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "media/clip_file.h"
#include "media/mp4_boxes.h"
#include "media/packet.h"
#include "media/replay_buffer.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "platform/thread_priority.h"

// ---------------------------------------------------------------------------
// Live heap bytes, counted by usable allocation size (what the allocator
// really handed out, rounding included). The replacements pair malloc with
// free themselves; once inlined, the compiler mistakes that for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<int64_t> gLiveHeap{0};
}

void* operator new(size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  gLiveHeap.fetch_add(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  gLiveHeap.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int64_t kSec = kp::kTicksPerSecond;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Quantile(std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  size_t i = static_cast<size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(i, sorted.size() - 1)];
}

int Shell(const std::string& command) { return std::system(command.c_str()); }

double TimeShell(const std::string& command) {
  Shell("sync");
  const auto t0 = Clock::now();
  const int rc = Shell(command);
  const double s = Seconds(Clock::now() - t0);
  if (rc != 0) std::fprintf(stderr, "bench: command failed: %s\n", command.c_str());
  return s;
}

// Random payload bytes, sliced from one pool.
class PayloadPool {
 public:
  PayloadPool() : bytes_(16 << 20) {
    std::mt19937_64 rng(42);
    for (size_t i = 0; i + 8 <= bytes_.size(); i += 8) {
      const uint64_t v = rng();
      std::memcpy(&bytes_[i], &v, 8);
    }
  }
  std::shared_ptr<const kp::EncodedPacket> Make(int64_t pts, int64_t duration, bool key, size_t size) {
    auto p = std::make_shared<kp::EncodedPacket>();
    p->pts = pts;
    p->duration = duration;
    p->keyframe = key;
    size = std::min(size, bytes_.size());
    const size_t at = (cursor_ += 4093) % (bytes_.size() - size + 1);
    p->data.assign(bytes_.begin() + static_cast<ptrdiff_t>(at), bytes_.begin() + static_cast<ptrdiff_t>(at + size));
    return p;
  }
  // A video access unit of one NAL unit in length-prefixed form (IDR or
  // non-IDR slice header byte, random body), so that readers which walk the
  // NAL units of each sample (ffmpeg does, even when copying) accept it.
  std::shared_ptr<const kp::EncodedPacket> MakeVideo(int64_t pts, int64_t duration, bool key, size_t size) {
    auto p = std::const_pointer_cast<kp::EncodedPacket>(Make(pts, duration, key, std::max<size_t>(size, 8)));
    const size_t nal = p->data.size() - 4;
    p->data[0] = static_cast<uint8_t>(nal >> 24);
    p->data[1] = static_cast<uint8_t>(nal >> 16);
    p->data[2] = static_cast<uint8_t>(nal >> 8);
    p->data[3] = static_cast<uint8_t>(nal);
    p->data[4] = key ? 0x65 : 0x41;
    return p;
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t cursor_ = 0;
};

// A valid baseline SPS for 1920x1080 (readers parse it even when copying).
kp::VideoTrackInfo BenchVideoInfo(uint32_t fps) {
  kp::VideoTrackInfo info;
  info.width = 1920;
  info.height = 1080;
  info.fps = fps;
  info.sps = {0x67, 0x42, 0xC0, 0x28, 0xDA, 0x01, 0xE0, 0x08, 0x9F, 0x96, 0x10, 0x00, 0x00, 0x03, 0x00, 0x10,
              0x00, 0x00, 0x03, 0x03, 0xC8, 0xF1, 0x83, 0x2A};
  info.pps = {0x68, 0xCE, 0x3C, 0x80};
  return info;
}

std::vector<kp::AudioTrackInfo> BenchAudioTracks() {
  std::vector<kp::AudioTrackInfo> tracks;
  for (int i = 0; i < 3; ++i) {
    kp::AudioTrackInfo t;
    t.name = "Audio " + std::to_string(i + 1);
    t.sampleRate = 48000;
    t.channels = 2;
    t.audioSpecificConfig = {0x11, 0x90};
    tracks.push_back(t);
  }
  return tracks;
}

// A stream of the given rates: video keyframes every 2 s at four times the
// size of other pictures; audio in 1024-sample frames at 48 kHz.
struct StreamShape {
  uint32_t fps = 60;
  double videoBitsPerSecond = 20e6;
  double audioBitsPerSecond = 160e3;
  int audioTracks = 3;

  size_t gopFrames() const { return 2 * fps; }
  size_t keySize() const { return static_cast<size_t>(4 * averageVideo()); }
  size_t otherSize() const {
    const double total = averageVideo() * static_cast<double>(gopFrames());
    return static_cast<size_t>((total - static_cast<double>(keySize())) / static_cast<double>(gopFrames() - 1));
  }
  double averageVideo() const { return videoBitsPerSecond / 8 / fps; }
  size_t audioSize() const { return static_cast<size_t>(audioBitsPerSecond / 8 * 1024 / 48000); }
  static int64_t AudioTime(uint64_t n) { return static_cast<int64_t>(n * 1024 * 10'000'000ull / 48000); }
  int64_t VideoTime(uint64_t k) const { return static_cast<int64_t>(k * 10'000'000ull / fps); }
};

// Pushes `seconds` of the stream in time order, starting at `base`.
// `payloadCap` limits payload sizes (0: none). Returns the end time.
int64_t PushStream(kp::ReplayBuffer& buffer, PayloadPool& pool, const StreamShape& shape, int64_t base,
                   int64_t seconds, size_t payloadCap, const std::function<void(uint64_t)>& every = {}) {
  const kp::VideoTrackInfo info = BenchVideoInfo(shape.fps);
  const uint64_t frames = static_cast<uint64_t>(seconds) * shape.fps;
  uint64_t audioFrame = 0;
  auto cap = [&](size_t s) { return payloadCap ? std::min(s, payloadCap) : s; };
  uint64_t pushed = 0;
  for (uint64_t k = 0; k < frames; ++k) {
    const int64_t pts = base + shape.VideoTime(k);
    const bool key = k % shape.gopFrames() == 0;
    buffer.PushVideo(info, pool.MakeVideo(pts, shape.VideoTime(k + 1) - shape.VideoTime(k), key,
                                     cap(key ? shape.keySize() : shape.otherSize())));
    ++pushed;
    const int64_t next = base + shape.VideoTime(k + 1);
    while (base + StreamShape::AudioTime(audioFrame) < next) {
      const int64_t apts = base + StreamShape::AudioTime(audioFrame);
      const int64_t adur = StreamShape::AudioTime(audioFrame + 1) - StreamShape::AudioTime(audioFrame);
      for (int t = 0; t < shape.audioTracks; ++t) {
        buffer.PushAudio(t, pool.Make(apts, adur, true, cap(shape.audioSize())));
        ++pushed;
      }
      ++audioFrame;
    }
    if (every) every(pushed);
  }
  return base + shape.VideoTime(frames);
}

// ---------------------------------------------------------------------------

struct Options {
  fs::path dir;
  int runs = 5;
  int clipSeconds = 300;
  int latencySeconds = 200;
  bool cloneSaves = false;
};

// Runs the steps once per round after a `sync` each, forwards in even
// rounds and backwards in odd ones, so that no step always follows the same
// one; `times[i]` collects step i's seconds.
void RunRounds(int rounds, const std::vector<std::function<double()>>& steps, std::vector<std::vector<double>>& times) {
  times.assign(steps.size(), {});
  for (int r = 0; r < rounds; ++r) {
    for (size_t k = 0; k < steps.size(); ++k) {
      const size_t i = r % 2 == 0 ? k : steps.size() - 1 - k;
      Shell("sync");
      times[i].push_back(steps[i]());
    }
  }
}

double TimeSave(const kp::ReplayBuffer::Clip& clip, const fs::path& path) {
  fs::remove(path);
  Shell("sync");
  const auto t0 = Clock::now();
  if (!kp::WriteClipFile(clip, kp::Utf8ToWide(path.string()), {})) {
    std::fprintf(stderr, "bench: clip write failed\n");
    std::exit(1);
  }
  return Seconds(Clock::now() - t0);
}

// A buffer holding `seconds` of the stream, and the clip of all of it.
std::shared_ptr<kp::ReplayBuffer> FilledBuffer(const fs::path& dir, PayloadPool& pool, int seconds, int64_t* now) {
  auto buffer = std::make_shared<kp::ReplayBuffer>(kp::Utf8ToWide(dir.string()), (seconds + 10) * kSec);
  buffer->SetAudioTracks(BenchAudioTracks());
  *now = PushStream(*buffer, pool, StreamShape{}, 1000 * kSec, seconds, 0);
  return buffer;
}

kp::ReplayBuffer::Clip TakeWholeClip(kp::ReplayBuffer& buffer, int seconds, int64_t now) {
  kp::ReplayBuffer::Clip clip;
  if (!buffer.TakeClip(seconds * kSec, now, clip)) {
    std::fprintf(stderr, "bench: no clip\n");
    std::exit(1);
  }
  buffer.ExtendClipAudio(clip);
  return clip;
}

double BenchClipSave(const Options& o, PayloadPool& pool) {
  std::printf("== 1. saving a %d-s clip (20 Mbit/s, 60 fps, 3 x 160 kbit/s audio), %d rounds, alternating order\n",
              o.clipSeconds, o.runs);
  const fs::path bufferDir = o.dir / "buffer";
  const fs::path outDir = o.dir / "out";
  fs::create_directories(outDir);
  int64_t now = 0;
  auto buffer = FilledBuffer(bufferDir, pool, o.clipSeconds, &now);
  kp::ReplayBuffer::Clip clip = TakeWholeClip(*buffer, o.clipSeconds, now);
  uint64_t segmentBytes = 0;
  std::string segmentList;
  for (const auto& entry : fs::directory_iterator(bufferDir)) {
    segmentBytes += entry.file_size();
    segmentList += " '" + entry.path().string() + "'";
  }
  std::printf("segment files: %.1f MiB; clip: %zu video + %zu audio samples per track\n",
              static_cast<double>(segmentBytes) / (1 << 20), clip.videoPackets.size(), clip.audioPackets[0].size());

  const fs::path clipPath = outDir / "clip.mp4";
  const std::string ffSource = (o.dir / "ffmpeg_source.mp4").string();
  const std::string ffOut = (outDir / "ffmpeg_out.mp4").string();
  // The same content as an ffmpeg-written MP4, made once.
  TimeSave(clip, clipPath);
  Shell("ffmpeg -v error -y -i '" + clipPath.string() + "' -map 0 -c copy '" + ffSource + "'");
  auto inFreshFolder = [&](const char* name) {
    fs::remove_all(outDir / name);
    fs::create_directories(outDir / name);
    return (outDir / name).string();
  };
  std::vector<std::vector<double>> times;
  RunRounds(o.runs,
            {[&] { return TimeSave(clip, clipPath); },
             [&] {
               const std::string to = inFreshFolder("dd");
               return TimeShell("for f in" + segmentList + "; do dd if=\"$f\" of='" + to +
                                "/'\"$(basename \"$f\")\" bs=8M status=none; done");
             },
             [&] { return TimeShell("cp" + segmentList + " '" + inFreshFolder("cp") + "/'"); },
             [&] {
               fs::remove(ffOut);
               return TimeShell("ffmpeg -v error -y -i '" + ffSource + "' -map 0 -c copy '" + ffOut + "'");
             }},
            times);
  const double clipBytes = static_cast<double>(fs::file_size(clipPath));
  const double ffBytes = fs::exists(ffOut) ? static_cast<double>(fs::file_size(ffOut)) : 0;
  if (ffBytes < 0.99 * clipBytes) {
    std::printf("WARNING: ffmpeg's copy holds only %.1f%% of the clip's bytes; its time is not comparable\n",
                100 * ffBytes / clipBytes);
  }
  const double mSave = Median(times[0]), mDd = Median(times[1]), mCp = Median(times[2]), mFf = Median(times[3]);
  const double segments = static_cast<double>(segmentBytes);
  std::printf("clip file: %.1f MiB\n", clipBytes / (1 << 20));
  std::printf("WriteClipFile      median %.3f s  (%.0f MiB/s)\n", mSave, clipBytes / mSave / (1 << 20));
  std::printf("dd bs=8M segments  median %.3f s  (%.0f MiB/s)\n", mDd, segments / mDd / (1 << 20));
  std::printf("cp segments        median %.3f s  (%.0f MiB/s)\n", mCp, segments / mCp / (1 << 20));
  std::printf("ffmpeg -c copy     median %.3f s\n", mFf);
  std::printf("save speed / dd speed = %.2f (target >= 1.5)\n", (clipBytes / mSave) / (segments / mDd));
  std::printf("save speed / cp speed = %.2f\n", (clipBytes / mSave) / (segments / mCp));
  std::printf("ffmpeg time / save time = %.2f (target >= 1.5)\n", mFf / mSave);
  clip = {};
  buffer.reset();
  fs::remove_all(outDir);
  fs::remove(ffSource);
  return clipBytes / mSave;
}

uint64_t FreeBytes(const fs::path& dir) {
  struct statvfs st {};
  if (::statvfs(dir.c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

// The kernel's own share of a clone save: the whole blocks of every segment
// the clip uses cloned into one scratch file, one call each, nothing else
// (no header, no tails, no padding). A save cannot take less.
double TimeBareClones(const kp::ReplayBuffer::Clip& clip, const fs::path& scratch) {
  std::set<std::string> segments;
  for (const kp::PacketRecord& record : clip.videoPackets) segments.insert(kp::WideToUtf8(record.segment->path));
  fs::remove(scratch);
  Shell("sync");
  struct statvfs vfs {};
  ::statvfs(scratch.parent_path().c_str(), &vfs);
  const uint64_t block = vfs.f_bsize;
  const auto t0 = Clock::now();
  const int out = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  uint64_t at = 0;
  for (const std::string& path : segments) {
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    ::fstat(in, &st);
    file_clone_range range{};
    range.src_fd = in;
    range.src_length = static_cast<uint64_t>(st.st_size) / block * block;
    range.dest_offset = at;
    if (::ioctl(out, FICLONERANGE, &range) != 0) std::fprintf(stderr, "bench: FICLONERANGE failed\n");
    at += (static_cast<uint64_t>(st.st_size) + block - 1) / block * block;
    ::close(in);
  }
  ::close(out);
  return Seconds(Clock::now() - t0);
}

// On a file system that clones blocks, a save's time and its disk writes
// should not grow with the clip's length.
void BenchCloneSaves(const Options& o, PayloadPool& pool) {
  std::printf("== clone saves: a 60-s and a 300-s clip of one buffer in %s, %d rounds, alternating order\n",
              o.dir.c_str(), o.runs);
  const fs::path outDir = o.dir / "out";
  fs::create_directories(outDir);
  int64_t now = 0;
  auto buffer = FilledBuffer(o.dir / "buffer", pool, 300, &now);
  const kp::ReplayBuffer::Clip shortClip = TakeWholeClip(*buffer, 60, now);
  const kp::ReplayBuffer::Clip longClip = TakeWholeClip(*buffer, 300, now);
  const fs::path shortPath = outDir / "clip60.mp4", longPath = outDir / "clip300.mp4";
  std::vector<double> drops;
  std::vector<std::vector<double>> times;
  RunRounds(o.runs,
            {[&] { return TimeSave(shortClip, shortPath); },
             [&] {
               fs::remove(longPath);
               Shell("sync");
               const uint64_t before = FreeBytes(o.dir);
               const double seconds = TimeSave(longClip, longPath);
               Shell("sync");
               drops.push_back(static_cast<double>(before) - static_cast<double>(FreeBytes(o.dir)));
               return seconds;
             },
             [&] { return TimeBareClones(shortClip, outDir / "bare60"); },
             [&] { return TimeBareClones(longClip, outDir / "bare300"); }},
            times);
  const double longBytes = static_cast<double>(fs::file_size(longPath));
  const bool readable = Shell("ffmpeg -v quiet -i '" + longPath.string() + "' -map 0 -c copy -f null - </dev/null") == 0;
  std::printf("clip files: %.1f MiB and %.1f MiB; ffmpeg reads the 300-s clip: %s\n",
              static_cast<double>(fs::file_size(shortPath)) / (1 << 20), longBytes / (1 << 20),
              readable ? "yes" : "NO");
  const double mShort = Median(times[0]), mLong = Median(times[1]);
  std::printf("60-s save median %.2f ms, 300-s save median %.2f ms\n", 1e3 * mShort, 1e3 * mLong);
  std::printf("300-s save time / 60-s save time = %.2f (target <= 1.5)\n", mLong / mShort);
  const double bShort = Median(times[2]), bLong = Median(times[3]);
  std::printf("bare clone calls of the same segments: 60-s median %.2f ms, 300-s median %.2f ms, ratio %.2f\n",
              1e3 * bShort, 1e3 * bLong, bLong / bShort);
  std::printf("save time / bare clone time: 60-s %.2f, 300-s %.2f\n", mShort / bShort, mLong / bLong);
  std::printf("free-space drop of a 300-s save / clip size = %.3f%% (target < 1%%)\n", 100 * Median(drops) / longBytes);
  buffer.reset();
  fs::remove_all(outDir);
}

void BenchMoov(const Options& o, double throughput) {
  std::printf("== 2. MP4 header of a 3,600-s clip at 240 fps, 20 Mbit/s, 3 audio tracks\n");
  StreamShape shape;
  shape.fps = 240;
  const uint64_t frames = 3600ull * shape.fps;
  const uint64_t audioFrames = static_cast<uint64_t>(3600.0 * 48000 / 1024);
  const kp::VideoTrackInfo video = BenchVideoInfo(shape.fps);
  const std::vector<kp::AudioTrackInfo> audio = BenchAudioTracks();
  std::vector<std::vector<kp::SampleEntry>> samples(4);
  uint64_t offset = 0;
  samples[0].reserve(frames);
  for (uint64_t k = 0; k < frames; ++k) {
    kp::SampleEntry e;
    e.pts = shape.VideoTime(k);
    e.duration = shape.VideoTime(k + 1) - e.pts;
    e.keyframe = k % shape.gopFrames() == 0;
    e.size = static_cast<uint32_t>(e.keyframe ? shape.keySize() : shape.otherSize());
    e.mdatOffset = offset;
    offset += e.size;
    samples[0].push_back(e);
  }
  for (int t = 1; t <= 3; ++t) {
    samples[t].reserve(audioFrames);
    for (uint64_t n = 0; n < audioFrames; ++n) {
      kp::SampleEntry e;
      e.pts = StreamShape::AudioTime(n);
      e.duration = StreamShape::AudioTime(n + 1) - e.pts;
      e.keyframe = true;
      e.size = static_cast<uint32_t>(shape.audioSize());
      e.mdatOffset = offset;
      offset += e.size;
      samples[t].push_back(e);
    }
  }
  std::vector<kp::Mp4TrackView> views(4);
  views[0].video = &video;
  views[0].timescale = 90000;
  views[0].samples = samples[0];
  for (int t = 1; t <= 3; ++t) {
    views[t].audio = &audio[t - 1];
    views[t].timescale = 48000;
    views[t].samples = samples[t];
  }
  std::vector<double> times;
  size_t headerSize = 0;
  for (int r = 0; r < o.runs; ++r) {
    kp::ByteBuilder out;
    const auto t0 = Clock::now();
    kp::BuildMp4Header(views, offset, out);
    times.push_back(Seconds(Clock::now() - t0));
    headerSize = out.size();
  }
  const double m = Median(times);
  const double mediaTime = static_cast<double>(offset) / throughput;
  std::printf("media bytes %.2f GiB, header %.1f MiB; header build median %.3f s; media at %.0f MiB/s: %.1f s\n",
              static_cast<double>(offset) / (1 << 30), static_cast<double>(headerSize) / (1 << 20), m,
              throughput / (1 << 20), mediaTime);
  std::printf("header time / media time = %.2f%% (target < 5%%)\n", 100 * m / mediaTime);
}

void BenchPushLatency(const Options& o, PayloadPool& pool) {
  std::printf("== 3. push latency while the writer writes, rolls and trims (%d s of media at 20x speed, window 30 s),\n"
              "   against the same pushes with the writer held; alternating order\n",
              o.latencySeconds);
  std::vector<double> p99s[2], p999s[2], maxes[2];  // [0] writer busy, [1] writer held
  for (int run = 0; run < 2 * o.runs; ++run) {
    const int held = (run + run / 2) % 2;  // busy, held; held, busy; ...
    const fs::path dir = o.dir / "latency";
    auto buffer = std::make_shared<kp::ReplayBuffer>(kp::Utf8ToWide(dir.string()), 30 * kSec);
    buffer->SetAudioTracks(BenchAudioTracks());
    if (held) buffer->HoldWriterForBenchmark();
    StreamShape shape;
    constexpr int kSpeed = 20;
    const auto start = Clock::now() + std::chrono::milliseconds(50);
    const int64_t base = 1000 * kSec;
    auto wallFor = [&](int64_t ticks) { return start + std::chrono::nanoseconds(ticks * 100 / kSpeed); };
    std::vector<double> videoLat, audioLat;
    // The producers run at the priorities they have in the recorder: the
    // pipeline thread above normal, the audio mixer at least as high (MMCSS
    // "Audio" on Windows). The writer, also above normal, then competes with
    // them on equal terms instead of preempting a normal-priority pusher.
    std::thread video([&] {
      kp::SetCurrentThreadPriority(kp::ThreadPriority::kAboveNormal);
      const kp::VideoTrackInfo info = BenchVideoInfo(shape.fps);
      const uint64_t frames = static_cast<uint64_t>(o.latencySeconds) * shape.fps;
      videoLat.reserve(frames);
      for (uint64_t k = 0; k < frames; ++k) {
        const int64_t t = shape.VideoTime(k);
        const bool key = k % shape.gopFrames() == 0;
        auto packet = pool.MakeVideo(base + t, shape.VideoTime(k + 1) - t, key, key ? shape.keySize() : shape.otherSize());
        std::this_thread::sleep_until(wallFor(t));
        const auto t0 = Clock::now();
        buffer->PushVideo(info, std::move(packet));
        videoLat.push_back(Seconds(Clock::now() - t0) * 1e6);
      }
    });
    std::thread audio([&] {
      kp::SetCurrentThreadPriority(kp::ThreadPriority::kAboveNormal);
      PayloadPool local;
      const uint64_t frames = static_cast<uint64_t>(o.latencySeconds * 48000.0 / 1024);
      audioLat.reserve(frames * 3);
      for (uint64_t n = 0; n < frames; ++n) {
        const int64_t t = StreamShape::AudioTime(n);
        std::this_thread::sleep_until(wallFor(t));
        for (int track = 0; track < 3; ++track) {
          auto packet = local.Make(base + t, StreamShape::AudioTime(n + 1) - t, true, shape.audioSize());
          const auto t0 = Clock::now();
          buffer->PushAudio(track, std::move(packet));
          audioLat.push_back(Seconds(Clock::now() - t0) * 1e6);
        }
      }
    });
    video.join();
    audio.join();
    const kp::BufferStatus status = buffer->GetStatus();
    buffer.reset();
    std::vector<double> all = videoLat;
    all.insert(all.end(), audioLat.begin(), audioLat.end());
    std::sort(all.begin(), all.end());
    p99s[held].push_back(Quantile(all, 0.99));
    p999s[held].push_back(Quantile(all, 0.999));
    maxes[held].push_back(all.back());
    std::printf("run %d, writer %s: %zu pushes, p50 %.2f us, p99 %.2f us, p99.9 %.2f us, max %.1f us (buffer held %.1f s, %llu groups)\n",
                run / 2 + 1, held ? "held" : "busy", all.size(), Quantile(all, 0.5), p99s[held].back(),
                p999s[held].back(), maxes[held].back(), static_cast<double>(status.duration) / kSec,
                static_cast<unsigned long long>(status.gopCount));
  }
  for (int held = 0; held < 2; ++held) {
    std::printf("push latency, writer %s, median of runs: p99 %.2f us, p99.9 %.2f us, max %.1f us\n",
                held ? "held" : "busy", Median(p99s[held]), Median(p999s[held]), Median(maxes[held]));
  }
  std::printf("busy p99 = %.2f us (target < 41.7)\n", Median(p99s[0]));
  std::printf("push p99.9 writer busy / writer held = %.2f (target <= 3)\n", Median(p999s[0]) / Median(p999s[1]));
}

void BenchIndexCost(const Options& o, PayloadPool& pool) {
  std::printf("== 4. index memory per buffered packet (60 fps video + 3 audio tracks, nothing trimmed)\n");
  std::vector<double> costs;
  for (int r = 0; r < o.runs; ++r) {
    const fs::path dir = o.dir / "index";
    auto buffer = std::make_shared<kp::ReplayBuffer>(kp::Utf8ToWide(dir.string()), 100000 * kSec);
    buffer->SetAudioTracks(BenchAudioTracks());
    StreamShape shape;
    // Waits until everything pushed is indexed (a clip of the newest group
    // only, so cheap). Done every 256 pushes as well, so that the writer's
    // batches, whose vectors keep their capacity, stay small: the queue is
    // not part of the index.
    auto settle = [&](int64_t now) {
      kp::ReplayBuffer::Clip clip;
      buffer->TakeClip(0, now, clip);
    };
    auto pace = [&](uint64_t pushed) {
      if (pushed % 256 < 4) settle(std::numeric_limits<int64_t>::max() / 2);
    };
    const int64_t base = 1000 * kSec;
    int64_t now = PushStream(*buffer, pool, shape, base, 300, 16, pace);
    settle(now);
    const int64_t heapA = gLiveHeap.load();
    const uint64_t countA = 300ull * 60 + 3 * static_cast<uint64_t>(std::ceil(300 * 48000.0 / 1024));
    now = PushStream(*buffer, pool, shape, now, 300, 16, pace);
    settle(now);
    const int64_t heapB = gLiveHeap.load();
    const uint64_t countB = 600ull * 60 + 3 * static_cast<uint64_t>(std::ceil(600 * 48000.0 / 1024));
    costs.push_back(static_cast<double>(heapB - heapA) / static_cast<double>(countB - countA));
    buffer.reset();
    std::printf("run %d: %.1f bytes per packet\n", r + 1, costs.back());
  }
  std::printf("index bytes per packet: median %.1f (target <= 64)\n", Median(costs));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: media_bench DIR [--runs N] [--clip-seconds S] [--latency-seconds S] [--clone-saves 1]\n");
    return 2;
  }
  Options o;
  o.dir = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const int v = std::atoi(argv[i + 1]);
    if (a == "--runs") o.runs = std::max(5, v);  // medians of at least five rounds
    else if (a == "--clip-seconds") o.clipSeconds = std::max(10, v);
    else if (a == "--latency-seconds") o.latencySeconds = std::max(10, v);
    else if (a == "--clone-saves") o.cloneSaves = v != 0;
  }
  fs::remove_all(o.dir);
  fs::create_directories(o.dir);
  PayloadPool pool;
  if (o.cloneSaves) {
    BenchCloneSaves(o, pool);
    fs::remove_all(o.dir);
    return 0;
  }
  const double throughput = BenchClipSave(o, pool);
  BenchMoov(o, throughput);
  BenchPushLatency(o, pool);
  BenchIndexCost(o, pool);
  fs::remove_all(o.dir);
  return 0;
}
