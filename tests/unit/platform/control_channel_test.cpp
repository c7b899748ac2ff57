#include "platform/control_channel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_folder.h"

namespace kp {
namespace {

using E = ControlEvent;
using Kind = ControlEvents::Wake::Kind;

// Each test gets its own runtime folder so a real engine of the user is
// never signalled.
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

TEST_F(ControlChannelTest, SignalsWithoutAnEngineCreateNothingAndOneInstanceHoldsTheLock) {
  EXPECT_FALSE(SignalControlEvent(E::kSave));  // not running
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(folder_.utf8()) / "kaptora"));
  auto first = AcquireInstanceLock();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(AcquireInstanceLock(), nullptr);
  first.reset();
  EXPECT_NE(AcquireInstanceLock(), nullptr);
}

// Signals sent before the engine wakes are served Save first, then Stop
// (which stays set), then Reload and ShowSettings.
TEST_F(ControlChannelTest, PendingEventsAreServedSaveFirstThenStop) {
  const struct {
    std::vector<E> signals, wakes;
  } rows[] = {
      {{E::kStop, E::kSave}, {E::kSave, E::kStop, E::kStop}},
      {{E::kReload, E::kShowSettings, E::kStop}, {E::kStop, E::kStop}},
      {{E::kShowSettings, E::kReload}, {E::kReload, E::kShowSettings}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.signals[0]));
    auto events = CreateControlEvents();
    ASSERT_NE(events, nullptr);
    for (E event : row.signals) ASSERT_TRUE(SignalControlEvent(event));
    for (E expected : row.wakes) {
      const auto wake = events->Wait(1000);
      EXPECT_EQ(wake.kind, Kind::kEvent);
      EXPECT_EQ(wake.event, expected);
    }
    if (row.wakes.back() != E::kStop) {
      EXPECT_EQ(events->Wait(0).kind, Kind::kTimeout);
    }
  }
}

TEST_F(ControlChannelTest, RepeatedSignalsCoalesceAndAFullQueueStillCountsAsDelivered) {
  auto events = CreateControlEvents();
  ASSERT_NE(events, nullptr);
  EXPECT_EQ(events->Wait(0).kind, Kind::kTimeout);
  // Far more datagrams than a socket queues: every send reports success.
  for (int i = 0; i < 2000; ++i) ASSERT_TRUE(SignalControlEvent(E::kSave)) << i;
  EXPECT_EQ(events->Wait(1000).event, E::kSave);
  EXPECT_EQ(events->Wait(0).kind, Kind::kTimeout);  // one wake
  events.reset();
  EXPECT_FALSE(SignalControlEvent(E::kSave));  // engine gone
}

}  // namespace
}  // namespace kp
