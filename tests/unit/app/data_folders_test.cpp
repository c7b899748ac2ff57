#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "app/log.h"
#include "config/data_folders.h"

namespace kp {
namespace {

// The user's folders from the XDG variables, HOME, or (none set) the current folder.
TEST(DataFoldersTest, DefaultsFollowTheXdgFoldersAndFallBackToTheCurrentFolder) {
  const char* names[] = {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i) {
    if (const char* value = std::getenv(names[i])) saved[i] = value;
  }
  setenv("HOME", "/home/u", 1);
  unsetenv("XDG_CONFIG_HOME");
  setenv("XDG_STATE_HOME", "/state", 1);
  EXPECT_EQ(SettingsFilePath(), L"/home/u/.config/Kaptora/settings.json");
  EXPECT_EQ(BufferFolderPath(L""), L"/state/Kaptora/Buffer");
  EXPECT_EQ(ClipFolderPath(L""), L"/home/u/Videos/Kaptora");
  EXPECT_EQ(ClipFolderPath(L"D:\\clips"), L"D:\\clips");
  EXPECT_EQ(LogFolder(), L"/state/Kaptora/logs");
  for (const char* name : names) unsetenv(name);
  EXPECT_EQ(SettingsFilePath(), L"./Kaptora/settings.json");
  EXPECT_EQ(ClipFolderPath(L""), L"./Kaptora");
  EXPECT_EQ(LogFolder(), L"./Kaptora/logs");
  for (int i = 0; i < 3; ++i) {
    if (saved[i]) setenv(names[i], saved[i]->c_str(), 1);
  }
}

}  // namespace
}  // namespace kp
