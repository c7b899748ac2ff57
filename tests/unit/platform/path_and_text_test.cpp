#include <gtest/gtest.h>

#include "platform/path.h"
#include "platform/text.h"

namespace kp {
namespace {

TEST(TextTest, RoundTripsAllPlanesAndReplacesInvalidInput) {
  const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  std::wstring wide = Utf8ToWide(utf8);
  EXPECT_EQ(WideToUtf8(wide), utf8);
  EXPECT_EQ(Utf8ToWide("\xC3"), std::wstring(1, static_cast<wchar_t>(0xFFFD)));  // truncated
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), Utf8ToWide("\xEF\xBF\xBD\xEF\xBF\xBD"));    // overlong
  EXPECT_EQ(WideToUtf8(Utf8ToWide("plain")), "plain");
  EXPECT_EQ(Utf8ToWide(""), L"");
}

TEST(PathTest, JoinsParentsAndFileNames) {
  std::wstring joined = JoinPath(L"base", L"Kaptora");
  EXPECT_EQ(joined, std::wstring(L"base") + kPathSeparator + L"Kaptora");
  EXPECT_EQ(ParentFolder(L"/x/y/z"), L"/x/y");
  EXPECT_EQ(ParentFolder(L"plain"), L"plain");
  EXPECT_EQ(FileName(L"noseparator"), L"noseparator");
  // A backslash separates on Windows only; on POSIX it is part of a name.
  struct Row {
    const wchar_t* path;
    const wchar_t* parent;
    const wchar_t* name;
  };
#ifdef _WIN32
  const Row rows[] = {{L"C:\\clips\\Kaptora_1.mp4", L"C:\\clips", L"Kaptora_1.mp4"},
                      {L"C:/a\\b/c.json", L"C:/a\\b", L"c.json"},
                      {L"/x/a\\b.json", L"/x/a", L"b.json"}};
#else
  const Row rows[] = {{L"C:\\clips\\Kaptora_1.mp4", L"C:\\clips\\Kaptora_1.mp4", L"C:\\clips\\Kaptora_1.mp4"},
                      {L"/x/a\\b.json", L"/x", L"a\\b.json"},
                      {L"/x\\y/z", L"/x\\y", L"z"}};
#endif
  for (const Row& row : rows) {
    EXPECT_EQ(ParentFolder(row.path), row.parent);
    EXPECT_EQ(FileName(row.path), row.name);
  }
}

#ifndef _WIN32
TEST(PathTest, AbsolutePathsAreFoldedTextually) {
  EXPECT_EQ(MakeAbsolutePath(L"/a/b/../c/./d"), L"/a/c/d");
  std::wstring relative = MakeAbsolutePath(L"settings.json");
  ASSERT_FALSE(relative.empty());
  EXPECT_EQ(relative.front(), L'/');
  EXPECT_EQ(FileName(relative), L"settings.json");
}
#endif

}  // namespace
}  // namespace kp
