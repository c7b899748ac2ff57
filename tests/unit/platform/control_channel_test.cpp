#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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

TEST_F(ControlChannelTest, SignalsWithoutEngineReportNotRunningAndCreateNothing) {
  EXPECT_FALSE(SignalControlEvent(ControlEvent::kSave));
  EXPECT_FALSE(SignalControlEvent(ControlEvent::kStop));
  // A missing runtime folder is what "not running" looks like; a signal
  // must not make one.
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(folder_.utf8()) / "kaptora"));
}

// Signals sent before the engine wakes are served in a fixed order: Save
// before Stop, Stop before Reload and ShowSettings, and Stop stays set.
TEST_F(ControlChannelTest, PendingEventsAreServedSaveFirstThenStop) {
  using E = ControlEvent;
  struct Case {
    const char* name;
    std::vector<E> signals;    // sent in this order before the first wait
    std::vector<E> expected;   // the wakes that follow
  };
  const Case cases[] = {
      {"save; stop", {E::kSave, E::kStop}, {E::kSave, E::kStop, E::kStop}},
      {"stop; save", {E::kStop, E::kSave}, {E::kSave, E::kStop, E::kStop}},
      {"reload; settings; stop", {E::kReload, E::kShowSettings, E::kStop}, {E::kStop, E::kStop}},
      {"settings; reload", {E::kShowSettings, E::kReload}, {E::kReload, E::kShowSettings}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto events = CreateControlEvents();
    ASSERT_NE(events, nullptr);
    for (E event : c.signals) ASSERT_TRUE(SignalControlEvent(event));
    for (E expected : c.expected) {
      const auto wake = events->Wait(1000);
      EXPECT_EQ(wake.kind, Kind::kEvent);
      EXPECT_EQ(wake.event, expected);
    }
    if (c.expected.back() != E::kStop) {
      EXPECT_EQ(events->Wait(0).kind, Kind::kTimeout);
    }
  }
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
