#include "app/entry.h"

#include <cstdio>

#include "app/command_line.h"
#include "app/engine_host.h"
#include "app/export_command.h"
#include "app/record_command.h"
#include "config/data_folders.h"
#include "platform/control_channel.h"
#include "platform/path.h"

namespace kp {

int RunKaptora(void* instance, const std::vector<std::wstring>& words) {
  CommandLine commandLine = ParseCommandLine(words, SettingsFilePath(), &MakeAbsolutePath);
  Dispatch dispatch = DecideAction(commandLine);
  switch (dispatch.action) {
    case Action::kRunEngine:
      return RunEngine(instance, commandLine.settingsPath);
    case Action::kSignal:
      if (SignalControlEvent(dispatch.event)) return 0;
      std::fputs(kNotRunningText, stderr);
      return 1;
    case Action::kRecord:
      return RunRecord(commandLine.settingsPath, dispatch.seconds, dispatch.path);
    case Action::kExport:
      return RunExport(commandLine.settingsPath, dispatch.path);
    case Action::kUsage:
      break;
  }
  return UsageError();
}

int UsageError() {
  std::fputs(kUsageText, stderr);
  return 2;
}

}  // namespace kp
