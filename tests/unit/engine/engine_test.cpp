// The engine with a scripted video chain and the tone audio stand-in.
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

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

const std::string kVideoRestart = "engine: video settings changed — restarting capture (buffer kept)";
const std::string kAudioRestart = "engine: audio settings changed — restarting audio";

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() {
    // A little real time per frame keeps the free-running fake clock off a core.
    factory.acquire = [](test::FrameCall) {
      std::this_thread::sleep_for(200us);
      return CaptureStatus::NewFrame;
    };
    settings.bufferFolder = temp.File(L"bufA");
    settings.folder = temp.File(L"clips");
    settings.bufferSeconds = 60;
    settings.microphone.enabled = true;
  }

  std::unique_ptr<Engine> MakeEngine() {
    EngineEnvironment environment;
    environment.chains = &factory;
    environment.clock = &clock;
    environment.files = &files;
    environment.audio.deviceFactory = [](AudioSourceKind kind, Clock& c) {
      return std::make_unique<ToneAudioDevice>(kind, c, ToneAudioDevice::DefaultScript(kind));
    };
    environment.audio.codecFactory = test::FakeCodecFactory({}, std::make_shared<test::FakeCodecRecord>());
    environment.localTime = [] { return LocalTime{2026, 12, 7, 9, 5, 3, 0}; };
    results.clear();
    return std::make_unique<Engine>(
        [this](const Engine::SaveResult& result) {
          {
            std::lock_guard<std::mutex> lock(resultsMutex);
            results.push_back(result);
          }
          if (holdFirstSave && !held.exchange(true)) {
            while (!release) std::this_thread::sleep_for(1ms);
          }
        },
        std::move(environment));
  }

  static void WaitForBuffered(const Engine& engine, double seconds) {
    for (int i = 0; i < 5000 && engine.GetStatus().bufferedSeconds < seconds; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_GE(engine.GetStatus().bufferedSeconds, seconds);
  }

  // Shuts down while the first save is held in its callback.
  std::vector<Engine::SaveResult> ShutdownReleasingTheHeldSave(Engine& engine) {
    std::thread releaser([this] {
      std::this_thread::sleep_for(20ms);
      release = true;
    });
    engine.Shutdown();
    releaser.join();
    std::lock_guard<std::mutex> lock(resultsMutex);
    return results;
  }

  test::TempFolder temp;
  test::FakeClock clock;
  test::FaultFiles files;
  test::FakeChainFactory factory;
  Settings settings;
  test::LogCapture log;
  std::mutex resultsMutex;
  std::vector<Engine::SaveResult> results;
  std::atomic<bool> holdFirstSave{false};
  std::atomic<bool> held{false}, release{false};
};

TEST_F(EngineTest, EachSettingsChangeRestartsOnlyWhatItAffects) {
  struct Row {
    const char* name;
    std::function<void(Settings&)> change;
    std::vector<std::string> lines;
  };
  const std::vector<Row> rows = {
      {"buffer length only", [](Settings& s) { s.bufferSeconds = 3000; }, {}},
      {"frame rate", [](Settings& s) { s.fps = 30; }, {kVideoRestart}},
      {"microphone volume", [](Settings& s) { s.microphone.volume = 50; }, {kAudioRestart}},
      {"video and audio together", [](Settings& s) { s.showCursor = false; s.tracks = "mixed"; }, {kVideoRestart}},
      {"clip folder and hotkeys", [](Settings& s) { s.folder = L"elsewhere"; s.saveReplayHotkey = "F8"; }, {}},
  };
  // Every chain encodes alike, so a save, and so the status, may reach back
  // across a restart.
  factory.spsTag = [](int) -> uint8_t { return 0x42; };
  settings.bufferSeconds = 3600;  // never full, however fast the clock runs
  for (Row row : rows) {
    SCOPED_TRACE(row.name);
    auto engine = MakeEngine();
    engine->ApplySettings(settings);
    WaitForBuffered(*engine, 2.0);
    const double before = engine->GetStatus().bufferedSeconds;
    log.Clear();
    Settings changed = settings;
    row.change(changed);
    engine->ApplySettings(changed);

    std::vector<std::string> lines;
    for (const std::string& line : log.Lines()) {
      if (line.starts_with("engine: ") && !line.starts_with("engine: capture stopped")) {
        lines.push_back(line.starts_with("engine: starting capture") ? "start" : line);
      }
    }
    if (!row.lines.empty() && row.lines[0] == kVideoRestart) row.lines.push_back("start");
    EXPECT_EQ(lines, row.lines);
    EXPECT_TRUE(engine->GetStatus().captureRunning);
    EXPECT_GE(engine->GetStatus().bufferedSeconds, before);  // the buffer outlives every restart
  }
}

TEST_F(EngineTest, PauseSurvivesUnrelatedReloadsButTheSettingOverridesIt) {
  auto engine = MakeEngine();
  engine->ApplySettings(settings);
  engine->SetReplayEnabled(false);
  EXPECT_TRUE(log.Has("engine: replay paused"));
  EXPECT_FALSE(engine->GetStatus().captureRunning);

  Settings reloaded = settings;
  reloaded.fps = 30;
  reloaded.bufferFolder = temp.File(L"bufB");  // a new buffer, still paused
  engine->ApplySettings(reloaded);
  EXPECT_TRUE(log.Has("engine: buffer folder changed — starting a new buffer"));
  EXPECT_FALSE(engine->GetStatus().captureRunning);
  reloaded.replayEnabled = false;
  engine->ApplySettings(reloaded);
  reloaded.replayEnabled = true;  // the file's own change resumes
  engine->ApplySettings(reloaded);
  EXPECT_TRUE(engine->GetStatus().captureRunning);
}

TEST_F(EngineTest, SaveNamesAreUniqueAndShutdownWritesEveryQueuedSave) {
  auto engine = MakeEngine();
  engine->ApplySettings(settings);
  WaitForBuffered(*engine, 3.0);

  // The first save is held in its callback while two more are queued.
  SystemFiles().CreateFolderChain(temp.File(L"clips"));
  test::WriteFileBytes(temp.File(L"clips/Kaptora_2026-12-07_09-05-03.mp4"), "someone else's");
  holdFirstSave = true;
  ASSERT_TRUE(engine->RequestSave());
  for (int i = 0; i < 3000 && !held; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(engine->RequestSave());
  ASSERT_TRUE(engine->RequestSave());
  std::vector<std::string> counts;
  for (const std::string& line : log.Lines()) {
    if (line.find("clip requested (") != std::string::npos) counts.push_back(line.substr(line.find('(')));
  }
  EXPECT_EQ(counts, (std::vector<std::string>{"(1 in queue)", "(1 in queue)", "(2 in queue)"}));
  EXPECT_EQ(engine->GetStatus().pendingSaves, 2);

  const std::vector<Engine::SaveResult> saved = ShutdownReleasingTheHeldSave(*engine);
  ASSERT_EQ(saved.size(), 3u);
  for (size_t i = 0; i < saved.size(); ++i) {
    EXPECT_TRUE(saved[i].ok);
    EXPECT_TRUE(saved[i].path.ends_with(L"Kaptora_2026-12-07_09-05-03_" + std::to_wstring(i + 2) + L".mp4"))
        << WideToUtf8(saved[i].path);
    EXPECT_GT(saved[i].duration, 2.0);
  }
  EXPECT_EQ(test::ReadFileBytes(temp.File(L"clips/Kaptora_2026-12-07_09-05-03.mp4")), "someone else's");
  EXPECT_EQ(engine->GetStatus().pendingSaves, 0);
}

TEST_F(EngineTest, FailedWriteLeavesNoPartFileAndLowersThePendingCount) {
  files.FailWritesAfter(L".mp4.part", 64);  // less than any clip
  auto engine = MakeEngine();
  engine->ApplySettings(settings);
  WaitForBuffered(*engine, 2.0);
  ASSERT_TRUE(engine->RequestSave());
  engine->Shutdown();

  ASSERT_EQ(results.size(), 1u);
  EXPECT_FALSE(results[0].ok);
  EXPECT_TRUE(log.Has("save: failed → " + WideToUtf8(results[0].path)));
  EXPECT_FALSE(test::FileExists(results[0].path));
  EXPECT_FALSE(test::FileExists(results[0].path + L".part"));
  EXPECT_EQ(engine->GetStatus().pendingSaves, 0);
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
}

// A new buffer in the folder of a queued save's buffer must not delete its files.
TEST_F(EngineTest, QueuedSavesSurviveBufferFolderChangesBackToTheSameFolder) {
  const std::vector<std::vector<std::wstring>> cases = {
      {temp.File(L"bufB"), temp.File(L"bufA")},
      {temp.File(L"bufA") + L"/"},  // spelled with a trailing separator
      {temp.File(L"linkA")},          // reached through a link
  };
  std::filesystem::create_directory_symlink(std::filesystem::path(temp.File(L"bufA")),
                                            std::filesystem::path(temp.File(L"linkA")));
  for (const auto& folders : cases) {
    SCOPED_TRACE(WideToUtf8(folders.back()));
    held = release = false;
    holdFirstSave = true;
    auto engine = MakeEngine();
    engine->ApplySettings(settings);
    WaitForBuffered(*engine, 12.0);  // more than one segment file
    ASSERT_TRUE(engine->RequestSave());  // written at once, then held in its callback
    ASSERT_TRUE(engine->RequestSave());  // queued behind it, on the first buffer
    for (const std::wstring& folder : folders) {
      Settings changed = settings;
      changed.bufferFolder = folder;
      engine->ApplySettings(changed);
      WaitForBuffered(*engine, 1.0);
    }
    const std::vector<Engine::SaveResult> saved = ShutdownReleasingTheHeldSave(*engine);
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_TRUE(saved[0].ok && saved[1].ok);
    EXPECT_GT(saved[1].duration, 11.0);
  }
}

}  // namespace
}  // namespace kp
