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

// A backslash separates on Windows only; on POSIX it is part of a name.
TEST(PathTest, ParentsFileNamesAndAbsolutePaths) {
  EXPECT_EQ(JoinPath(L"base", L"Kaptora"), std::wstring(L"base") + kPathSeparator + L"Kaptora");
  const struct {
    const wchar_t *path, *parent, *name;
  } rows[] = {
      {L"plain", L"plain", L"plain"},
#ifdef _WIN32
      {L"C:\\clips\\Kaptora_1.mp4", L"C:\\clips", L"Kaptora_1.mp4"},
      {L"/x/a\\b.json", L"/x/a", L"b.json"},
#else
      {L"/x/a\\b.json", L"/x", L"a\\b.json"},
#endif
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ParentFolder(row.path), row.parent);
    EXPECT_EQ(FileName(row.path), row.name);
  }
#ifndef _WIN32
  EXPECT_EQ(MakeAbsolutePath(L"/a/b/../c/./d"), L"/a/c/d");
  const std::wstring relative = MakeAbsolutePath(L"settings.json");
  ASSERT_FALSE(relative.empty());
  EXPECT_EQ(relative.front(), L'/');
  EXPECT_EQ(FileName(relative), L"settings.json");
#endif
}

}  // namespace
}  // namespace kp
