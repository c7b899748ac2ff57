#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/control_channel.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

// Each test gets its own runtime folder so a real engine of the user is
// never signalled.
class ControlChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    saved_ = old != nullptr ? old : "";
    hadValue_ = old != nullptr;
    setenv("XDG_RUNTIME_DIR", folder_.utf8().c_str(), 1);
  }
  void TearDown() override {
    if (hadValue_) {
      setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
  }

  test::TempFolder folder_;
  std::string saved_;
  bool hadValue_ = false;
};

using Kind = ControlEvents::Wake::Kind;

TEST_F(ControlChannelTest, NamesAreTheSessionObjects) {
  EXPECT_STREQ(ControlEventName(ControlEvent::kSave), L"Local\\Kaptora.Save");
  EXPECT_STREQ(ControlEventName(ControlEvent::kStop), L"Local\\Kaptora.Stop");
  EXPECT_STREQ(ControlEventName(ControlEvent::kReload), L"Local\\Kaptora.Reload");
  EXPECT_STREQ(ControlEventName(ControlEvent::kShowSettings), L"Local\\Kaptora.ShowSettings");
}

TEST_F(ControlChannelTest, OnlyOneInstanceHoldsTheLockUntilItIsReleased) {
  auto first = AcquireInstanceLock();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(AcquireInstanceLock(), nullptr);
  first.reset();
  EXPECT_NE(AcquireInstanceLock(), nullptr);
}

TEST_F(ControlChannelTest, SignalsWithoutEngineReportNotRunning) {
  EXPECT_FALSE(SignalControlEvent(ControlEvent::kSave));
  EXPECT_FALSE(SignalControlEvent(ControlEvent::kStop));
}

TEST_F(ControlChannelTest, RepeatedSignalsCoalesceAndStopStaysSet) {
  auto events = CreateControlEvents();
  ASSERT_NE(events, nullptr);
  EXPECT_EQ(events->Wait(0).kind, Kind::kTimeout);

  for (int i = 0; i < 5; ++i) EXPECT_TRUE(SignalControlEvent(ControlEvent::kSave));
  auto wake = events->Wait(1000);
  EXPECT_EQ(wake.kind, Kind::kEvent);
  EXPECT_EQ(wake.event, ControlEvent::kSave);
  EXPECT_EQ(events->Wait(0).kind, Kind::kTimeout);  // five signals, one wake

  EXPECT_TRUE(SignalControlEvent(ControlEvent::kReload));
  wake = events->Wait(1000);
  EXPECT_EQ(wake.event, ControlEvent::kReload);

  EXPECT_TRUE(SignalControlEvent(ControlEvent::kStop));
  EXPECT_EQ(events->Wait(1000).event, ControlEvent::kStop);
  EXPECT_EQ(events->Wait(0).event, ControlEvent::kStop);  // manual reset

  events.reset();
  EXPECT_FALSE(SignalControlEvent(ControlEvent::kSave));  // engine gone
}

TEST_F(ControlChannelTest, AFullQueueStillCountsAsDelivered) {
  auto events = CreateControlEvents();
  ASSERT_NE(events, nullptr);
  // Far more datagrams than a socket queues: every send must report success.
  for (int i = 0; i < 2000; ++i) ASSERT_TRUE(SignalControlEvent(ControlEvent::kShowSettings)) << i;
  EXPECT_EQ(events->Wait(1000).event, ControlEvent::kShowSettings);
  EXPECT_EQ(events->Wait(0).kind, Kind::kTimeout);
}

}  // namespace
}  // namespace kp
