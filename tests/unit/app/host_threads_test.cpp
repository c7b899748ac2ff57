// The host with the real engine and posted messages from its save thread,
// and the Linux console shell's descriptors: folder watch, timers and a
// post queue that outlives the host safely.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "app/console_shell_posix.h"
#include "app/host_core.h"
#include "audio/tone_audio_device.h"
#include "engine/engine.h"
#include "fake_host_shell.h"
#include "platform/text.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"
#include "unit/audio/fake_aac_codec.h"
#include "unit/engine/fake_video_chain.h"

namespace kp {
namespace {

using namespace std::chrono_literals;

template <typename Predicate>
bool WaitUntil(Predicate done) {
  for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(1ms);
  return done();
}

TEST(HostWithEngineTest, HotkeysPauseAndResumeAndASaveComesBackAsANotification) {
  test::TempFolder temp;
  test::FakeClock clock;
  test::LogCapture log;
  test::FakeChainFactory factory;
  factory.acquire = [](test::FrameCall) {
    std::this_thread::sleep_for(200us);
    return CaptureStatus::NewFrame;
  };
  factory.encode = [](test::FrameCall call, int64_t pts, int64_t duration, PacketList& packets) {
    auto packet = std::make_shared<EncodedPacket>();
    packet->pts = pts;
    packet->duration = duration;
    packet->keyframe = call.frame % 60 == 0;
    packet->data.assign(100, 1);
    packets.push_back(std::move(packet));
    return true;
  };
  EngineEnvironment environment;
  environment.chains = &factory;
  environment.clock = &clock;
  environment.audio.deviceFactory = [](AudioSourceKind kind, Clock& c) {
    return std::make_unique<ToneAudioDevice>(kind, c, ToneAudioDevice::DefaultScript(kind));
  };
  environment.audio.codecFactory = test::FakeCodecFactory({}, std::make_shared<test::FakeCodecRecord>());
  environment.localTime = [] { return LocalTime{2026, 12, 7, 9, 5, 3, 0}; };

  Settings settings;
  settings.language = "en";
  settings.bufferFolder = temp.File(L"buffer");
  settings.folder = temp.File(L"clips");
  settings.bufferSeconds = 60;
  const std::wstring settingsPath = temp.File(L"settings.json");
  ASSERT_TRUE(SaveSettings(settingsPath, settings));

  test::FakeHostShell shell(clock);
  Engine engine([post = shell.Poster()](const Engine::SaveResult& r) { PostSaveFinished(post, r); },
                std::move(environment));
  EngineControlOf control(engine);
  HostCore core(shell, control, SystemFiles(), settingsPath, settings);
  core.Start("");
  ASSERT_TRUE(WaitUntil([&] { return engine.GetStatus().bufferedSeconds >= 2.0; }));

  core.OnHotkey(kToggleHotkeyId);
  core.OnHotkey(kToggleHotkeyId);
  const auto lines = log.Lines();
  std::vector<std::string> replay;
  for (const auto& l : lines) {
    if (l.rfind("engine: replay ", 0) == 0) replay.push_back(l);
  }
  EXPECT_EQ(replay, (std::vector<std::string>{"engine: replay paused", "engine: replay resumed"}));

  shell.TakeCalls();
  core.OnControlEvent(ControlEvent::kSave);
  int posted = 0;
  ASSERT_TRUE(WaitUntil([&] {
    clock.Advance(10 * kTicksPerMillisecond);  // the save thread waits 0.4 s on this clock
    posted += shell.PumpPosted(core);
    return posted > 0;
  }));
  std::string notification;
  for (const std::string& call : shell.TakeCalls()) {
    if (call.rfind("notify ", 0) == 0) notification = call;
  }
  // The clip's length depends on how far the free-running fake clock got;
  // its "%d:%02d" rendering is pinned by the host-core tests.
  EXPECT_TRUE(std::regex_match(notification,
                               std::regex(R"(notify Clip saved \| \d+:\d\d · Kaptora_2026-12-07_09-05-03\.mp4)")))
      << notification;
  core.Finish();
  EXPECT_TRUE(log.Has("engine: exiting"));
}

class ConsoleShellTest : public ::testing::Test {
 protected:
  // Polls the shell's descriptors once (at most `ms`) and dispatches.
  bool PollOnce(int ms) {
    std::vector<pollfd> fds;
    shell->AppendPollFds(&fds);
    if (::poll(fds.data(), fds.size(), ms) <= 0) return false;
    shell->Dispatch(fds.data(), *core);
    return true;
  }

  class NoEngine : public EngineControl {
    void ApplySettings(const Settings&) override {}
    void SetReplayEnabled(bool) override {}
    bool ReplayEnabled() const override { return true; }
    bool RequestSave() override { return false; }
    Engine::Status GetStatus() const override { return {true, true, 1.0, false, 0, 0.0}; }
    void Shutdown() override {}
  };

  test::TempFolder temp;
  test::LogCapture log;
  NoEngine engine;
  std::unique_ptr<ConsoleShell> shell = std::make_unique<ConsoleShell>(
      ConsoleShell::Options{{Hotkey{kModAlt, 0x78}}});
  std::unique_ptr<HostCore> core;
};

TEST_F(ConsoleShellTest, LogsStateChangesNotificationsAndLaunchesAndServesItsDescriptors) {
  Settings settings;
  settings.language = "en";
  settings.toggleReplayHotkey = "Alt+F9";  // scripted as taken
  const std::wstring settingsPath = temp.File(L"settings.json");
  ASSERT_TRUE(SaveSettings(settingsPath, settings));
  core = std::make_unique<HostCore>(*shell, engine, SystemFiles(), settingsPath, settings);
  core->Start("");
  ASSERT_TRUE(shell->WatchFolder(temp.path()));
  EXPECT_TRUE(log.Has("hotkey: cannot register 'Alt+F9' (in use by another program)"));
  EXPECT_TRUE(log.Has("notification: Couldn't register hotkey | Alt+F9 is used by another program. Change it in "
                      "settings."));
  EXPECT_EQ(log.CountStartingWith("tray: "), 1);
  core->RefreshTrayStatus();
  EXPECT_EQ(log.CountStartingWith("tray: "), 1);
  core->OnControlEvent(ControlEvent::kShowSettings);
  EXPECT_TRUE(log.Has("launch: notepad.exe \"" + temp.utf8() + "/settings.json\""));

  // A rewrite of the file is seen by the watch; 300 ms later the reload runs.
  settings.bufferSeconds = 42;
  ASSERT_TRUE(SaveSettings(settingsPath, settings));
  ASSERT_TRUE(PollOnce(2000));
  const auto start = std::chrono::steady_clock::now();
  while (log.CountStartingWith("settings: reloaded") == 0 && std::chrono::steady_clock::now() - start < 3s) {
    PollOnce(100);
  }
  EXPECT_EQ(log.CountStartingWith("settings: reloaded"), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);

  // Posts wake the poll; once the shell is gone they fail and leave the
  // payload with the poster (which frees it).
  const PostFunction post = shell->Poster();
  EXPECT_TRUE(PostUpdateAvailable(post, "9.9", ""));
  EXPECT_TRUE(PostUpdateAvailable(post, "9.8", ""));
  ASSERT_TRUE(PollOnce(1000));
  EXPECT_TRUE(log.Has("notification: Update available | Kaptora 9.9 is out. Click to update."));
  EXPECT_TRUE(PostUpdateAvailable(post, "9.7", ""));  // left queued: freed with the shell
  core.reset();
  shell.reset();
  EXPECT_FALSE(PostUpdateAvailable(post, "9.6", ""));
  std::thread late([&] { EXPECT_FALSE(PostSaveFinished(post, {true, L"x", 1.0})); });
  late.join();
}

}  // namespace
}  // namespace kp
