// The command grammar, as a pure function of the words after the program
// name. The entry point does the system calls; everything here is testable.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/control_channel.h"

namespace kp {

inline constexpr const char kUsageText[] =
    "usage:\n"
    "  Kaptora [--settings <path>]                 start (tray)\n"
    "  Kaptora save | stop | reload | settings     control the running instance\n"
    "  Kaptora record <seconds> <out.mp4> [--settings <path>]\n"
    "  Kaptora export <job.json> [--settings <path>]\n";

inline constexpr const char kNotRunningText[] = "Kaptora is not running\n";

// The longest `record`: one day. Seconds that are not finite or above it are a
// usage error, so no record runs until it is killed and writes nothing.
inline constexpr double kMaxRecordSeconds = 86'400;

struct CommandLine {
  std::wstring settingsPath;
  bool hasCommand = false;              // a positional word was given (even an empty one)
  std::wstring command;                 // the first positional word
  std::vector<std::wstring> arguments;  // positional words after the command
};

// Splits `words` into the settings path, the command and its arguments.
// "--settings <path>" may stand anywhere and repeat (the last wins); the path
// goes through `makeAbsolute`, and is taken as typed when that returns an
// empty string. A "--settings" with nothing after it is an ordinary word.
CommandLine ParseCommandLine(const std::vector<std::wstring>& words, std::wstring defaultSettingsPath,
                             const std::function<std::wstring(const std::wstring&)>& makeAbsolute);

enum class Action { kRunEngine, kSignal, kRecord, kExport, kUsage };

struct Dispatch {
  Action action = Action::kUsage;
  ControlEvent event = ControlEvent::kSave;  // kSignal
  double seconds = 0;                        // kRecord
  std::wstring path;                         // kRecord: output file; kExport: job file (as typed)
};

// Chooses what to run: the tray engine only for no positional word at all or
// a lone "run" (an empty word, as in `Kaptora "" save`, is a word and no
// command). Comparisons are exact and case-sensitive; the seconds of "record"
// are read with WideToDouble, the C runtime's own conversion, and taken when
// above 0 and at most kMaxRecordSeconds.
Dispatch DecideAction(const CommandLine& commandLine);

}  // namespace kp
