// The Linux console shell's descriptors under the host: folder watch, timers,
// and a post queue that other threads may use after the shell is gone.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "app/console_shell_posix.h"
#include "app/host_core.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

using namespace std::chrono_literals;

struct NoEngine : EngineControl {
  void ApplySettings(const Settings&) override {}
  void SetReplayEnabled(bool) override {}
  bool ReplayEnabled() const override { return true; }
  bool RequestSave() override { return false; }
  Engine::Status GetStatus() const override { return {true, true, 1.0, false, 0, 0.0}; }
  void Shutdown() override {}
};

TEST(ConsoleShellTest, LogsWhatItShowsReloadsOnAWatchedWriteAndRefusesPostsOnceGone) {
  test::TempFolder temp;
  test::LogCapture log;
  NoEngine engine;
  auto shell = std::make_unique<ConsoleShell>(ConsoleShell::Options{{Hotkey{kModAlt, 0x78}}});
  Settings settings;
  settings.language = "en";
  const std::wstring settingsPath = temp.File(L"settings.json");
  ASSERT_TRUE(SaveSettings(settingsPath, settings));
  auto core = std::make_unique<HostCore>(*shell, engine, SystemFiles(), settingsPath, settings);
  auto pollOnce = [&](int ms) {
    std::vector<pollfd> fds;
    shell->AppendPollFds(&fds);
    if (::poll(fds.data(), fds.size(), ms) <= 0) return false;
    shell->Dispatch(fds.data(), *core);
    return true;
  };
  core->Start("");
  ASSERT_TRUE(shell->WatchFolder(temp.path()));
  EXPECT_TRUE(log.Has("notification: Couldn't register hotkey | Alt+F9 is used by another program. Change it in "
                      "settings."));

  settings.bufferSeconds = 42;
  ASSERT_TRUE(SaveSettings(settingsPath, settings));
  ASSERT_TRUE(pollOnce(2000));
  const auto start = std::chrono::steady_clock::now();
  while (log.CountStartingWith("settings: reloaded") == 0 && std::chrono::steady_clock::now() - start < 3s) {
    pollOnce(100);
  }
  EXPECT_EQ(log.CountStartingWith("settings: reloaded"), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);

  // Posts wake the poll; once the shell is gone they fail and the poster
  // frees the payload (the sanitizer run checks for leaks).
  const PostFunction post = shell->Poster();
  EXPECT_TRUE(PostUpdateAvailable(post, "9.9", ""));
  ASSERT_TRUE(pollOnce(1000));
  EXPECT_TRUE(log.Has("notification: Update available | Kaptora 9.9 is out. Click to update."));
  EXPECT_TRUE(PostUpdateAvailable(post, "9.7", ""));  // left queued: freed with the shell
  core.reset();
  shell.reset();
  std::thread late([&] { EXPECT_FALSE(PostSaveFinished(post, {true, L"x", 1.0})); });
  late.join();
}

}  // namespace
}  // namespace kp
