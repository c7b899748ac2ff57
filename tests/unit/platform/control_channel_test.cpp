#include "platform/control_channel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

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

}  // namespace
}  // namespace kp
