#include "platform/control_channel.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/control_channel_posix.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

using E = ControlEvent;
using Kind = ControlEvents::Wake::Kind;

// A runtime folder of its own, so a real engine of the user is never signalled.
class ControlChannelTest : public ::testing::Test {
 protected:
  ControlChannelTest() {
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) saved_ = old;
    setenv("XDG_RUNTIME_DIR", folder_.utf8().c_str(), 1);
  }
  ~ControlChannelTest() override {
    saved_ ? setenv("XDG_RUNTIME_DIR", saved_->c_str(), 1) : unsetenv("XDG_RUNTIME_DIR");
    SetRuntimeFallbackParent("/tmp");
  }

  test::TempFolder folder_;
  std::optional<std::string> saved_;
};

// Pending signals are served Save first, then Stop (which stays set), then
// Reload and ShowSettings; repeats coalesce, and a full queue still counts
// as delivered.
TEST_F(ControlChannelTest, OneInstanceHoldsTheLockAndPendingEventsAreServedSaveFirstThenStop) {
  EXPECT_FALSE(SignalControlEvent(E::kSave));  // no engine: nothing is created
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(folder_.utf8()) / "kaptora"));
  auto lock = AcquireInstanceLock();
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(AcquireInstanceLock(), nullptr);

  auto events = CreateControlEvents();
  ASSERT_NE(events, nullptr);
  for (int i = 0; i < 2000; ++i) ASSERT_TRUE(SignalControlEvent(E::kSave)) << i;
  for (E event : {E::kShowSettings, E::kReload, E::kStop}) ASSERT_TRUE(SignalControlEvent(event));
  for (E expected : {E::kSave, E::kStop, E::kStop}) EXPECT_EQ(events->Wait(1000).event, expected);
  events.reset();
  EXPECT_FALSE(SignalControlEvent(E::kSave));  // engine gone

  events = CreateControlEvents();
  for (E event : {E::kShowSettings, E::kReload}) ASSERT_TRUE(SignalControlEvent(event));
  for (E expected : {E::kReload, E::kShowSettings}) EXPECT_EQ(events->Wait(1000).event, expected);
  EXPECT_EQ(events->Wait(0).kind, Kind::kTimeout);
}

// A runtime folder whose socket paths cannot fit a socket address: engine
// and commands both move to the fallback and still meet; a fallback that is
// not ours alone is refused, and then no engine can be reached.
TEST_F(ControlChannelTest, ALongRuntimeFolderFallsBackAndAnUnsafeFallbackIsRefused) {
  test::TempFolder parent;
  SetRuntimeFallbackParent(parent.utf8());
  setenv("XDG_RUNTIME_DIR", (folder_.utf8() + "/" + std::string(200 - folder_.utf8().size() - 1, 'r')).c_str(), 1);
  const std::string fallback = parent.utf8() + "/kaptora-" + std::to_string(::getuid());
  {
    auto lock = AcquireInstanceLock();
    auto events = CreateControlEvents();
    ASSERT_NE(lock, nullptr);
    ASSERT_NE(events, nullptr);
    ASSERT_TRUE(SignalControlEvent(E::kReload));
    EXPECT_EQ(events->Wait(1000).event, E::kReload);
  }
  struct stat st {};
  ASSERT_EQ(::stat(fallback.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  auto refused = [&] {
    test::LogCapture log;
    bool unusable = false;
    EXPECT_EQ(AcquireInstanceLock(&unusable), nullptr);
    EXPECT_TRUE(unusable);
    EXPECT_FALSE(SignalControlEvent(E::kSave));
    EXPECT_TRUE(log.Has("engine: unsafe runtime folder " + fallback + " \xE2\x80\x94 not using it"));
  };
  ASSERT_EQ(::chmod(fallback.c_str(), 0750), 0);
  refused();
  if (::geteuid() == 0) {
    ASSERT_EQ(::chmod(fallback.c_str(), 0700), 0);
    ASSERT_EQ(::chown(fallback.c_str(), 4242, 4242), 0);
    refused();
  }
}

}  // namespace
}  // namespace kp
