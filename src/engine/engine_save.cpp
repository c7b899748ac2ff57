// The clip save queue: a request freezes the clip window and the file name
// at once; the save thread writes the queued clips one after another.
#include <algorithm>
#include <cwchar>
#include <utility>

#include "app/log.h"
#include "config/data_folders.h"
#include "engine/engine.h"
#include "media/clip_file.h"
#include "platform/path.h"
#include "platform/text.h"

namespace kp {

namespace {

// Late audio (the mixer runs 200 ms behind) has arrived by then.
constexpr int64_t kSaveDelayTicks = 4'000'000;

std::wstring ClipStem(const LocalTime& t) {
  wchar_t stem[64];
  std::swprintf(stem, 64, L"Kaptora_%04u-%02u-%02u_%02u-%02u-%02u", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return stem;
}

// Every length the user sees is recorded time: the video's span with the
// clip's cuts left out, as the file plays.
double RecordedSeconds(const ReplayBuffer::Clip& clip) {
  return static_cast<double>(clip.RecordedDuration()) / 1e7;
}

}  // namespace

bool Engine::RequestSave() {
  if (!buffer_) return false;
  std::shared_ptr<ReplayBuffer> buffer = buffer_;
  const int64_t now = clock_.Now();

  ReplayBuffer::Clip clip;
  if (!buffer->TakeClip(buffer->GetWindow(), now, clip)) {
    Log("save: buffer is still empty");
    return false;
  }

  const std::wstring derived = ClipFolderPath(settings_.folder);
  std::wstring folder = MakeAbsolutePath(derived);
  if (folder.empty()) folder = derived;
  // A failure surfaces as a failed write, with its own line.
  files_.CreateFolderChain(folder);
  const std::wstring base = JoinPath(folder, ClipStem(environment_.localTime()));
  const double seconds = RecordedSeconds(clip);

  int pending = 0;
  {
    std::lock_guard<std::mutex> lock(saveMutex_);
    std::wstring path = UniqueClipPath(base);
    saveQueue_.push_back(SaveRequest{std::move(buffer), std::move(clip), std::move(path), now});
    pending = ++pendingSaves_;
  }
  saveCondition_.notify_one();
  Log("save: %.1fs clip requested (%d in queue)", seconds, pending);
  return true;
}

std::wstring Engine::UniqueClipPath(const std::wstring& base) const {
  std::wstring candidate = base + L".mp4";
  auto taken = [&](const std::wstring& path) {
    return files_.Stat(path).exists || path == currentSavePath_ ||
           std::any_of(saveQueue_.begin(), saveQueue_.end(),
                       [&](const SaveRequest& queued) { return queued.path == path; });
  };
  for (int n = 2; taken(candidate); ++n) candidate = base + L"_" + std::to_wstring(n) + L".mp4";
  return candidate;
}

void Engine::SaveLoop() {
  std::unique_lock<std::mutex> lock(saveMutex_);
  for (;;) {
    saveCondition_.wait(lock, [this] { return stopSaving_ || !saveQueue_.empty(); });
    // Stop is honoured only once the queue is empty: every request made
    // before shutdown is written.
    if (saveQueue_.empty()) return;
    SaveRequest request = std::move(saveQueue_.front());
    saveQueue_.pop_front();
    currentSavePath_ = request.path;
    lock.unlock();

    WriteSave(request);

    lock.lock();
  }
}

void Engine::WriteSave(SaveRequest& request) {
  const int64_t delay = request.requestedAt + kSaveDelayTicks - clock_.Now();
  if (delay > 0) clock_.SleepMs(delay / kTicksPerMillisecond);
  request.buffer->ExtendClipAudio(request.clip);

  const int64_t t0 = clock_.Now();
  saveProgress_ = 0.0;
  SaveResult result;
  result.path = request.path;
  result.ok = WriteClipFile(request.clip, request.path, [this](double fraction) { saveProgress_ = fraction; }, files_);
  result.duration = RecordedSeconds(request.clip);

  const std::string pathText = WideToUtf8(request.path);
  if (result.ok) {
    const double megabytes = static_cast<double>(files_.Stat(request.path).size) * 9.5367431640625e-7;
    const int64_t end = clock_.Now();
    const double elapsed = static_cast<double>(end - t0) / 1e7;
    const double rate = elapsed > 0 ? megabytes / elapsed : 0.0;
    // The first frame's wall-clock time: the monotonic distance back from
    // now, applied to the precise system time.
    const int64_t firstPts = request.clip.videoPackets.empty() ? end : request.clip.videoPackets.front().pts;
    const LocalTime start = LocalTimeOf(PreciseSystemTimeNow() + (firstPts - end));
    char startText[32];
    std::snprintf(startText, sizeof startText, "%02u:%02u:%02u.%03u", start.hour, start.minute, start.second,
                  start.millisecond);
    Log("save: %.1fs clip from %s, %zu audio track(s), %.0f MB in %.1fs (%.0f MB/s) \xE2\x86\x92 %s", result.duration,
        startText, request.clip.audioTracks.size(), megabytes, elapsed, rate, pathText.c_str());
  } else {
    Log("save: failed \xE2\x86\x92 %s", pathText.c_str());
  }

  request.clip = ReplayBuffer::Clip{};
  request.buffer.reset();
  {
    std::lock_guard<std::mutex> lock(saveMutex_);
    currentSavePath_.clear();
  }
  --pendingSaves_;
  saveProgress_ = 0.0;
  if (onSaved_) onSaved_(result);
}

}  // namespace kp
