#include "update/version.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace kp {
namespace {

TEST(Version, ReadsPiecesAsAtoiAndPadsToThreeNumbers) {
  const struct {
    const char* text;
    std::vector<int> numbers;
  } cases[] = {
      {"1.4", {1, 4, 0}},
      {"0.10.2.7", {0, 10, 2, 7}},
      {"", {0, 0, 0}},
      {" 1.\t+2.-3", {1, 2, -3}},
      {"1..2", {1, 0, 2}},
      {"v1.2rc3.x", {0, 2, 0}},
      {"99999999999.1", {INT_MAX, 1, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseVersion(c.text), c.numbers) << '"' << c.text << '"';
}

TEST(Version, ComparesNumberListsLongerWinsOnEqualPrefix) {
  const struct {
    const char* candidate;
    const char* current;
    bool newer;
  } cases[] = {
      {"0.2", "0.2.0", false},       // padded to the same list
      {"0.2.0", "0.2", false},
      {"0.2.1", "0.2.0", true},
      {"0.10.0", "0.2.0", true},     // numbers, not text
      {"0.9.9", "0.10.0", false},
      {"1", "0.2.0", true},
      {"0.1.9", "0.2.0", false},
      {"0.2.0.0", "0.2.0", true},    // a longer list with an equal prefix
      {"0.2.0.1", "0.2.0", true},
      {"0.2.0", "0.2.0.1", false},
      {" 0. 3", "0.2.0", true},      // leading blanks
      {"+0.+3", "0.2.0", true},      // leading signs
      {"0.-3.0", "0.2.0", false},
      {"0.3rc1", "0.2.0", true},     // digits then text
      {"v9.0.0", "0.2.0", false},    // no leading digits reads 0
      {"0.2.x", "0.2.0", false},
      {"0.2.0", "0.2.0", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsNewer(c.candidate, c.current), c.newer) << c.candidate << " vs " << c.current;
  }
}

}  // namespace
}  // namespace kp
