#include "update/version.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace kp {
namespace {

TEST(Version, PiecesReadAsAtoiAndNewerComparesNumberLists) {
  EXPECT_EQ(ParseVersion("1.42"), (std::vector<int>{1, 42, 0}));
  EXPECT_EQ(ParseVersion(" 1.\t+2.-3..x9"), (std::vector<int>{1, 2, -3, 0, 0}));
  EXPECT_EQ(ParseVersion("99999999999.-99999999999"), (std::vector<int>{INT_MAX, INT_MIN, 0}));
  const struct {
    const char *candidate, *current;
    bool newer;
  } rows[] = {
      {"0.2", "0.2.0", false},     {"0.2.0", "0.2", false},  {"0.2.1", "0.2.0", true},  {"0.10.0", "0.9.9", true},
      {"0.9.9", "0.10.0", false},  {"0.2.0.0", "0.2.0", true}, {"0.2.0", "0.2.0.1", false}, {"0.3rc1", "0.2.0", true},
      {"v9.0.0", "0.2.0", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(IsNewer(row.candidate, row.current), row.newer) << row.candidate << " vs " << row.current;
  }
}

}  // namespace
}  // namespace kp
