#include "video/output_selector.h"

#include <gtest/gtest.h>

namespace kp {
namespace {

TEST(OutputSelectorTest, OffersAsTheMonitorSettingSays) {
  using O = OutputOffer;
  struct Case {
    const char* what;
    std::wstring monitor, output;
    bool outputIsPrimary;
    OutputOffer expected;
  };
  const Case cases[] = {
      {"name match", L"\\\\.\\DISPLAY1", L"\\\\.\\DISPLAY1", false, O::Chosen},
      {"name match on the primary", L"\\\\.\\DISPLAY2", L"\\\\.\\DISPLAY2", true, O::Chosen},
      {"other name, primary output", L"\\\\.\\DISPLAY9", L"\\\\.\\DISPLAY2", true, O::PrimaryCandidate},
      {"other name", L"\\\\.\\DISPLAY11", L"\\\\.\\DISPLAY1", false, O::Other},
      {"primary keyword", L"primary", L"\\\\.\\DISPLAY2", true, O::PrimaryCandidate},
      {"an output named primary is not chosen by name", L"primary", L"primary", false, O::Other},
      {"keyword is case-sensitive", L"PRIMARY", L"PRIMARY", false, O::Chosen},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(OutputSelector(c.monitor).Offer(c.output, c.outputIsPrimary), c.expected) << c.what;
  }
  EXPECT_TRUE(OutputSelector(L"").PrimaryMode());
  EXPECT_TRUE(OutputSelector(L"primary").PrimaryMode());
  EXPECT_FALSE(OutputSelector(L"primary ").PrimaryMode());
}

}  // namespace
}  // namespace kp
