#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/log.h"
#include "config/data_folders.h"
#include "platform/known_folders.h"

namespace kp {
namespace {

// Runs a test body with some environment variables replaced.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

TEST(DataFoldersTest, DefaultsFollowTheXdgFolders) {
  ScopedEnv home("HOME", "/home/u");
  ScopedEnv config("XDG_CONFIG_HOME", nullptr);
  ScopedEnv state("XDG_STATE_HOME", "/state");
  EXPECT_EQ(SettingsFilePath(), L"/home/u/.config/Kaptora/settings.json");
  EXPECT_EQ(BufferFolderPath(L""), L"/state/Kaptora/Buffer");
  EXPECT_EQ(ClipFolderPath(L""), L"/home/u/Videos/Kaptora");
  EXPECT_EQ(LogFolder(), L"/state/Kaptora/logs");
}

TEST(DataFoldersTest, ConfiguredFoldersComeBackUnchanged) {
  EXPECT_EQ(ClipFolderPath(L"relative/clips"), L"relative/clips");
  EXPECT_EQ(BufferFolderPath(L"D:\\buf"), L"D:\\buf");
}

TEST(DataFoldersTest, UnknownFoldersFallBackToTheCurrentFolder) {
  ScopedEnv home("HOME", nullptr);
  ScopedEnv config("XDG_CONFIG_HOME", nullptr);
  ScopedEnv state("XDG_STATE_HOME", nullptr);
  EXPECT_EQ(SettingsFilePath(), L"./Kaptora/settings.json");
  EXPECT_EQ(ClipFolderPath(L""), L"./Kaptora");
  EXPECT_EQ(LogFolder(), L"./Kaptora/logs");
}

}  // namespace
}  // namespace kp
