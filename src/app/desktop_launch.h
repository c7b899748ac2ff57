// How a launch the host asks for, in the Windows program names it decides
// on, runs on a Linux desktop: "explorer.exe /select,"<path>"" opens the
// folder that holds <path>, "notepad.exe "<path>"" opens <path>, both with
// xdg-open; any other program runs as itself, its parameters split at
// spaces outside double quotes. Portable; the shell does the spawning.
#pragma once

#include <string>
#include <vector>

namespace kp {

// The argument vector (UTF-8), program first.
std::vector<std::string> DesktopLaunchArguments(const std::wstring& program, const std::wstring& parameters);

}  // namespace kp
