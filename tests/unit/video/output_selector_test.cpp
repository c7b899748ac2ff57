// Which output a monitor setting selects, over a table of enumerations.
#include "video/output_selector.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kp {
namespace {

struct Output {
  std::wstring name;
  bool primary;
};

// Walks `outputs` as the enumeration does; returns the index taken, and how
// many outputs were offered before the walk stopped.
std::optional<size_t> Walk(const std::wstring& monitor, const std::vector<Output>& outputs, size_t* offered) {
  OutputSelector selector(monitor);
  std::optional<size_t> candidate;
  *offered = 0;
  for (size_t i = 0; i < outputs.size(); ++i) {
    ++*offered;
    switch (selector.Offer(outputs[i].name, outputs[i].primary)) {
      case OutputOffer::Chosen:
        return i;
      case OutputOffer::PrimaryCandidate:
        candidate = i;
        break;
      case OutputOffer::Other:
        break;
    }
  }
  return candidate;
}

TEST(OutputSelectorTest, SelectsAsTheMonitorSettingSays) {
  const std::vector<Output> two = {{L"\\\\.\\DISPLAY1", false}, {L"\\\\.\\DISPLAY2", true}};
  const std::vector<Output> twoPrimaries = {{L"\\\\.\\DISPLAY1", true}, {L"\\\\.\\DISPLAY2", true}};
  struct Case {
    const char* what;
    std::wstring monitor;
    std::vector<Output> outputs;
    std::optional<size_t> expected;
    size_t offered;
  };
  const Case cases[] = {
      {"primary keyword", L"primary", two, 1, 2},
      {"empty means primary", L"", two, 1, 2},
      {"name match stops the walk", L"\\\\.\\DISPLAY1", two, 0, 1},
      {"name of the primary", L"\\\\.\\DISPLAY2", two, 1, 2},
      {"unknown name falls back to primary", L"\\\\.\\DISPLAY9", two, 1, 2},
      {"keyword is case-sensitive", L"Primary", two, 1, 2},
      {"name compare is exact", L"\\\\.\\DISPLAY", two, 1, 2},
      {"longer name does not match", L"\\\\.\\DISPLAY11", {{L"\\\\.\\DISPLAY1", false}}, std::nullopt, 1},
      {"latest primary candidate wins", L"primary", twoPrimaries, 1, 2},
      {"no primary and no match", L"\\\\.\\DISPLAY5", {{L"\\\\.\\DISPLAY1", false}}, std::nullopt, 1},
      {"no outputs", L"primary", {}, std::nullopt, 0},
      {"an output named primary is not chosen by name", L"primary", {{L"primary", false}}, std::nullopt, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    size_t offered = 0;
    EXPECT_EQ(Walk(c.monitor, c.outputs, &offered), c.expected);
    EXPECT_EQ(offered, c.offered);
  }
}

TEST(OutputSelectorTest, PrimaryMode) {
  EXPECT_TRUE(OutputSelector(L"").PrimaryMode());
  EXPECT_TRUE(OutputSelector(L"primary").PrimaryMode());
  EXPECT_FALSE(OutputSelector(L"primary ").PrimaryMode());
  EXPECT_FALSE(OutputSelector(L"PRIMARY").PrimaryMode());
}

}  // namespace
}  // namespace kp
