// The engine on a deterministic clock with a scripted video chain and the
// tone audio stand-in: what each settings change restarts, and the save
// queue's names, shutdown and failures. Judged by the log and by what the
// buffer and the clip files hold.
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/tone_audio_device.h"
#include "fake_video_chain.h"
#include "platform/text.h"
#include "support/fake_clock.h"
#include "support/fault_files.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"
#include "unit/audio/fake_aac_codec.h"

namespace kp {
namespace {

using namespace std::chrono_literals;
using test::FakeChainFactory;
using test::FrameCall;

const std::string kVideoRestart = "engine: video settings changed — restarting capture (buffer kept)";
const std::string kAudioRestart = "engine: audio settings changed — restarting audio";
const std::string kNewBuffer = "engine: buffer folder changed — starting a new buffer";

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() {
    // Real time passes a little per frame so the free-running fake clock
    // does not spin a core; every keyframe starts a 1 s group.
    factory.acquire = [](FrameCall) {
      std::this_thread::sleep_for(200us);
      return CaptureStatus::NewFrame;
    };
    factory.encode = [](FrameCall call, int64_t pts, int64_t duration, PacketList& packets) {
      auto packet = std::make_shared<EncodedPacket>();
      packet->pts = pts;
      packet->duration = duration;
      packet->keyframe = call.frame % 60 == 0;
      packet->data.assign(100, static_cast<uint8_t>(call.frame));
      packets.push_back(std::move(packet));
      return true;
    };
    settings.bufferFolder = temp.File(L"bufA");
    settings.folder = temp.File(L"clips");
    settings.bufferSeconds = 60;
    settings.microphone.enabled = true;
  }

  EngineEnvironment Environment() {
    EngineEnvironment environment;
    environment.chains = &factory;
    environment.clock = &clock;
    environment.files = &files;
    environment.audio.deviceFactory = [](AudioSourceKind kind, Clock& c) {
      return std::make_unique<ToneAudioDevice>(kind, c, ToneAudioDevice::DefaultScript(kind));
    };
    environment.audio.codecFactory = test::FakeCodecFactory({}, std::make_shared<test::FakeCodecRecord>());
    environment.localTime = [] { return LocalTime{2026, 12, 7, 9, 5, 3, 0}; };
    return environment;
  }

  std::unique_ptr<Engine> MakeEngine() {
    return std::make_unique<Engine>(
        [this](const Engine::SaveResult& result) {
          std::lock_guard<std::mutex> lock(resultsMutex);
          results.push_back(result);
          if (onSaved) onSaved(result);
        },
        Environment());
  }

  // Waits (bounded) until the buffer holds at least `seconds`.
  static void WaitForBuffered(const Engine& engine, double seconds) {
    for (int i = 0; i < 5000 && engine.GetStatus().bufferedSeconds < seconds; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_GE(engine.GetStatus().bufferedSeconds, seconds);
  }

  void HoldUntilReleased() {
    while (!release) std::this_thread::sleep_for(1ms);
  }
  // Lets a held save callback go shortly after the caller has begun to wait
  // for the save thread.
  void ReleaseLater() {
    releaser = std::thread([this] {
      std::this_thread::sleep_for(20ms);
      release = true;
    });
  }

  std::vector<Engine::SaveResult> Results() {
    std::lock_guard<std::mutex> lock(resultsMutex);
    return results;
  }

  test::TempFolder temp;
  test::FakeClock clock;
  test::FaultFiles files;
  FakeChainFactory factory;
  Settings settings;
  test::LogCapture log;
  std::mutex resultsMutex;
  std::vector<Engine::SaveResult> results;
  std::function<void(const Engine::SaveResult&)> onSaved;
  std::atomic<bool> release{false};
  std::thread releaser;
};

TEST_F(EngineTest, EachSettingsChangeRestartsOnlyWhatItAffects) {
  struct Row {
    const char* name;
    std::function<void(Settings&)> change;
    std::vector<std::string> lines;  // in order; "capture stopped" implied by a video restart
    bool restartsVideo;
  };
  const std::vector<Row> rows = {
      {"buffer length only", [](Settings& s) { s.bufferSeconds = 90; }, {}, false},
      {"frame rate", [](Settings& s) { s.fps = 30; }, {kVideoRestart}, true},
      {"microphone volume", [](Settings& s) { s.microphone.volume = 50; }, {kAudioRestart}, false},
      {"video and audio together", [](Settings& s) { s.showCursor = false; s.tracks = "mixed"; }, {kVideoRestart},
       true},
      {"clip folder and hotkeys", [](Settings& s) { s.folder = L"elsewhere"; s.saveReplayHotkey = "F8"; }, {}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto engine = MakeEngine();
    engine->ApplySettings(settings);
    WaitForBuffered(*engine, 2.0);
    const double before = engine->GetStatus().bufferedSeconds;
    log.Clear();

    Settings changed = settings;
    row.change(changed);
    engine->ApplySettings(changed);

    std::vector<std::string> engineLines;
    for (const std::string& line : log.Lines()) {
      if (line.rfind("engine: ", 0) == 0 && line.rfind("engine: capture stopped", 0) != 0 &&
          line.rfind("engine: starting capture", 0) != 0) {
        engineLines.push_back(line);
      }
    }
    EXPECT_EQ(engineLines, row.lines);
    EXPECT_EQ(log.CountStartingWith("engine: capture stopped"), row.restartsVideo ? 1 : 0);
    EXPECT_EQ(log.CountStartingWith("engine: starting capture"), row.restartsVideo ? 1 : 0);
    EXPECT_TRUE(engine->GetStatus().captureRunning);
    // The buffer outlives every restart.
    EXPECT_GE(engine->GetStatus().bufferedSeconds, before);
    engine->Shutdown();
  }
}

TEST_F(EngineTest, PauseSurvivesUnrelatedReloadsButTheSettingOverridesIt) {
  auto engine = MakeEngine();
  engine->ApplySettings(settings);
  engine->SetReplayEnabled(true);  // already recording: nothing
  EXPECT_EQ(log.CountStartingWith("engine: replay"), 0);

  engine->SetReplayEnabled(false);
  EXPECT_TRUE(log.Has("engine: replay paused"));
  EXPECT_FALSE(engine->GetStatus().captureRunning);

  Settings reloaded = settings;
  reloaded.fps = 30;
  reloaded.bufferFolder = temp.File(L"bufB");  // a new buffer, still paused
  engine->ApplySettings(reloaded);
  EXPECT_TRUE(log.Has(kNewBuffer));
  EXPECT_FALSE(engine->GetStatus().captureRunning);

  reloaded.replayEnabled = false;
  engine->ApplySettings(reloaded);
  EXPECT_FALSE(engine->GetStatus().captureRunning);
  reloaded.replayEnabled = true;  // the file's own change resumes
  engine->ApplySettings(reloaded);
  EXPECT_TRUE(engine->GetStatus().captureRunning);
}

TEST_F(EngineTest, SaveNamesAreUniqueAndShutdownWritesEveryQueuedSave) {
  auto engine = MakeEngine();
  EXPECT_FALSE(engine->RequestSave());  // no buffer yet: nothing logged
  EXPECT_EQ(log.CountStartingWith("save:"), 0);
  engine->ApplySettings(settings);
  WaitForBuffered(*engine, 3.0);

  // The first save is held in its callback while two more are requested;
  // the engine is then shut down with both still queued.
  SystemFiles().CreateFolderChain(temp.File(L"clips"));
  test::WriteFileBytes(temp.File(L"clips/Kaptora_2026-12-07_09-05-03.mp4"), "someone else's");
  std::atomic<bool> inCallback{false};
  onSaved = [&](const Engine::SaveResult&) {
    if (!inCallback.exchange(true)) HoldUntilReleased();
  };
  ASSERT_TRUE(engine->RequestSave());
  for (int i = 0; i < 3000 && !inCallback; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(engine->RequestSave());
  ASSERT_TRUE(engine->RequestSave());
  EXPECT_EQ(log.CountStartingWith("save: "), 4);  // three requests and one summary
  // The held save is no longer pending; the two behind it are.
  std::vector<std::string> counts;
  for (const std::string& line : log.Lines()) {
    const size_t at = line.find("clip requested (");
    if (at != std::string::npos) counts.push_back(line.substr(at + 16));
  }
  EXPECT_EQ(counts, (std::vector<std::string>{"1 in queue)", "1 in queue)", "2 in queue)"}));
  ReleaseLater();
  engine->Shutdown();
  releaser.join();

  const std::vector<Engine::SaveResult> saved = Results();
  ASSERT_EQ(saved.size(), 3u);
  const std::vector<std::wstring> names = {L"_2.mp4", L"_3.mp4", L"_4.mp4"};
  for (size_t i = 0; i < saved.size(); ++i) {
    EXPECT_TRUE(saved[i].ok);
    EXPECT_TRUE(saved[i].path.ends_with(L"Kaptora_2026-12-07_09-05-03" + names[i]));
    EXPECT_GT(saved[i].duration, 2.0);
    EXPECT_GT(test::ReadFileBytes(saved[i].path).size(), 1000u);
  }
  EXPECT_EQ(test::ReadFileBytes(temp.File(L"clips/Kaptora_2026-12-07_09-05-03.mp4")), "someone else's");
  EXPECT_EQ(engine->GetStatus().pendingSaves, 0);
}

TEST_F(EngineTest, FailedWriteLeavesNoPartFileAndLowersThePendingCount) {
  files.FailWritesAfter(L".mp4.part", 4096);
  auto engine = MakeEngine();
  engine->ApplySettings(settings);
  WaitForBuffered(*engine, 2.0);
  ASSERT_TRUE(engine->RequestSave());
  engine->Shutdown();

  ASSERT_EQ(Results().size(), 1u);
  const Engine::SaveResult result = Results()[0];
  EXPECT_FALSE(result.ok);
  EXPECT_GT(result.duration, 1.0);
  EXPECT_TRUE(log.Has("save: failed → " + WideToUtf8(result.path)));
  EXPECT_FALSE(test::FileExists(result.path));
  EXPECT_FALSE(test::FileExists(result.path + L".part"));
  EXPECT_EQ(engine->GetStatus().pendingSaves, 0);
  EXPECT_EQ(engine->GetStatus().saveProgress, 0.0);
}

TEST_F(EngineTest, NothingCapturedYetMeansBufferStillEmpty) {
  factory.findOutput = [](int) {
    std::this_thread::sleep_for(1ms);  // the retry loop would race the fake clock ahead
    return false;
  };
  settings.desktop.enabled = false;
  settings.microphone.enabled = false;
  auto engine = MakeEngine();
  engine->ApplySettings(settings);
  EXPECT_FALSE(engine->RequestSave());
  EXPECT_TRUE(log.Has("save: buffer is still empty"));
  EXPECT_EQ(engine->GetStatus().pendingSaves, 0);
}

// A queued save keeps its buffer alive; a new buffer in the same folder (the
// folder changed back, or spelled differently) must not delete or reuse the
// files that save still needs.
TEST_F(EngineTest, QueuedSavesSurviveBufferFolderChangesBackToTheSameFolder) {
  const std::vector<std::pair<const char*, std::vector<std::wstring>>> cases = {
      {"A, B, then A again", {temp.File(L"bufB"), temp.File(L"bufA")}},
      {"A spelled with a trailing separator", {temp.File(L"bufA") + L"/"}},
  };
  for (const auto& [name, folders] : cases) {
    SCOPED_TRACE(name);
    results.clear();
    auto engine = MakeEngine();
    engine->ApplySettings(settings);
    WaitForBuffered(*engine, 12.0);  // more than one segment file

    release = false;
    std::atomic<bool> held{false};
    onSaved = [&](const Engine::SaveResult&) {
      if (!held.exchange(true)) HoldUntilReleased();
    };
    ASSERT_TRUE(engine->RequestSave());  // written at once, then held in its callback
    ASSERT_TRUE(engine->RequestSave());  // queued behind it, on the first buffer
    for (const std::wstring& folder : folders) {
      Settings changed = settings;
      changed.bufferFolder = folder;
      engine->ApplySettings(changed);
      WaitForBuffered(*engine, 1.0);
    }
    ReleaseLater();
    engine->Shutdown();
    releaser.join();
    onSaved = nullptr;

    const std::vector<Engine::SaveResult> saved = Results();
    ASSERT_EQ(saved.size(), 2u);
    for (const Engine::SaveResult& result : saved) {
      EXPECT_TRUE(result.ok);
      EXPECT_GT(result.duration, 11.0);
    }
    EXPECT_EQ(log.CountStartingWith("save: failed"), 0);
  }
}

}  // namespace
}  // namespace kp
