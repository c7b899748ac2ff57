#include <gtest/gtest.h>

#include "platform/path.h"
#include "platform/text.h"

namespace kp {
namespace {

TEST(TextTest, RoundTripsAllPlanesAndReplacesInvalidInput) {
  const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  EXPECT_EQ(WideToUtf8(Utf8ToWide(utf8)), utf8);
  EXPECT_EQ(Utf8ToWide("\xC3"), std::wstring(1, static_cast<wchar_t>(0xFFFD)));  // truncated
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), Utf8ToWide("\xEF\xBF\xBD\xEF\xBF\xBD"));    // overlong
}

// On POSIX a backslash is part of a name, not a separator.
TEST(PathTest, ParentsFileNamesAndAbsolutePaths) {
  EXPECT_EQ(JoinPath(L"base", L"Kaptora"), L"base/Kaptora");
  EXPECT_EQ(ParentFolder(L"/x/a\\b.json"), L"/x");
  EXPECT_EQ(FileName(L"/x/a\\b.json"), L"a\\b.json");
  EXPECT_EQ(ParentFolder(L"plain"), L"plain");
  EXPECT_EQ(MakeAbsolutePath(L"/a/b/../c/./d"), L"/a/c/d");
  const std::wstring relative = MakeAbsolutePath(L"settings.json");
  EXPECT_EQ(relative.front(), L'/');
  EXPECT_EQ(FileName(relative), L"settings.json");
}

}  // namespace
}  // namespace kp
