#include "app/desktop_launch.h"

#include <gtest/gtest.h>

namespace kp {
namespace {

using Args = std::vector<std::string>;

TEST(DesktopLaunchTest, WindowsLaunchesBecomeXdgOpenOrTheProgramWithItsWords) {
  EXPECT_EQ(DesktopLaunchArguments(L"explorer.exe", L"/select,\"/home/me/Videos/Kaptora/a b.mp4\""),
            (Args{"xdg-open", "/home/me/Videos/Kaptora"}));
  EXPECT_EQ(DesktopLaunchArguments(L"notepad.exe", L"\"/home/me/.config/Kaptora/settings.json\""),
            (Args{"xdg-open", "/home/me/.config/Kaptora/settings.json"}));
  EXPECT_EQ(DesktopLaunchArguments(L"/opt/k/Kaptora.Settings", L"--settings \"/a b/s.json\" --page update"),
            (Args{"/opt/k/Kaptora.Settings", "--settings", "/a b/s.json", "--page", "update"}));
  EXPECT_EQ(DesktopLaunchArguments(L"/opt/k/Kaptora.Settings", L""), (Args{"/opt/k/Kaptora.Settings"}));
}

}  // namespace
}  // namespace kp
