#include "app/command_line.h"

#include "platform/wide_number.h"

namespace kp {

CommandLine ParseCommandLine(const std::vector<std::wstring>& words, std::wstring defaultSettingsPath,
                             const std::function<std::wstring(const std::wstring&)>& makeAbsolute) {
  CommandLine result;
  result.settingsPath = std::move(defaultSettingsPath);
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i] == L"--settings" && i + 1 < words.size()) {
      std::wstring absolute = makeAbsolute(words[i + 1]);
      result.settingsPath = absolute.empty() ? words[i + 1] : absolute;
      ++i;
    } else if (!result.hasCommand) {
      result.command = words[i];
      result.hasCommand = true;
    } else {
      result.arguments.push_back(words[i]);
    }
  }
  return result;
}

Dispatch DecideAction(const CommandLine& commandLine) {
  Dispatch d;
  const std::wstring& c = commandLine.command;
  const auto& args = commandLine.arguments;
  if (!commandLine.hasCommand || (c == L"run" && args.empty())) {
    d.action = Action::kRunEngine;
  } else if (c == L"save" || c == L"stop" || c == L"reload" || c == L"settings") {
    d.action = Action::kSignal;
    d.event = c == L"save"     ? ControlEvent::kSave
              : c == L"stop"   ? ControlEvent::kStop
              : c == L"reload" ? ControlEvent::kReload
                               : ControlEvent::kShowSettings;
  } else if (c == L"record" && args.size() == 2 && WideToDouble(args[0]) > 0.0 &&
             WideToDouble(args[0]) <= kMaxRecordSeconds) {
    d.action = Action::kRecord;
    d.seconds = WideToDouble(args[0]);
    d.path = args[1];
  } else if (c == L"export" && args.size() == 1) {
    d.action = Action::kExport;
    d.path = args[0];
  }
  return d;
}

}  // namespace kp
