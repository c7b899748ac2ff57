#include "app/command_line.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace kp {

CommandLine ParseCommandLine(const std::vector<std::wstring>& words, std::wstring defaultSettingsPath,
                             const std::function<std::wstring(const std::wstring&)>& makeAbsolute) {
  CommandLine result;
  result.settingsPath = std::move(defaultSettingsPath);
  bool haveCommand = false;
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i] == L"--settings" && i + 1 < words.size()) {
      std::wstring absolute = makeAbsolute(words[i + 1]);
      result.settingsPath = absolute.empty() ? words[i + 1] : absolute;
      ++i;
    } else if (!haveCommand) {
      result.command = words[i];
      haveCommand = true;
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
  if (c.empty() || c == L"run") {
    d.action = Action::kRunEngine;
  } else if (c == L"save" || c == L"stop" || c == L"reload" || c == L"settings") {
    d.action = Action::kSignal;
    d.event = c == L"save"     ? ControlEvent::kSave
              : c == L"stop"   ? ControlEvent::kStop
              : c == L"reload" ? ControlEvent::kReload
                               : ControlEvent::kShowSettings;
  } else if (c == L"record" && args.size() == 2 && ParseSecondsLikeWtof(args[0]) > 0.0) {
    d.action = Action::kRecord;
    d.seconds = ParseSecondsLikeWtof(args[0]);
    d.path = args[1];
  } else if (c == L"export" && args.size() == 1) {
    d.action = Action::kExport;
    d.path = args[0];
  }
  return d;
}

double ParseSecondsLikeWtof(std::wstring_view text) {
  size_t i = 0;
  const size_t n = text.size();
  auto isSpace = [](wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); };
  auto isDigit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
  while (i < n && isSpace(text[i])) ++i;
  std::string number;
  if (i < n && (text[i] == L'+' || text[i] == L'-')) number.push_back(static_cast<char>(text[i++]));
  size_t digits = 0;
  while (i < n && isDigit(text[i])) {
    number.push_back(static_cast<char>(text[i++]));
    ++digits;
  }
  if (i < n && text[i] == L'.') {
    number.push_back('.');
    ++i;
    while (i < n && isDigit(text[i])) {
      number.push_back(static_cast<char>(text[i++]));
      ++digits;
    }
  }
  if (digits == 0) return 0.0;
  // The exponent counts only when at least one digit follows its sign.
  if (i < n && (text[i] == L'e' || text[i] == L'E')) {
    size_t j = i + 1;
    std::string exponent = "e";
    if (j < n && (text[j] == L'+' || text[j] == L'-')) exponent.push_back(static_cast<char>(text[j++]));
    if (j < n && isDigit(text[j])) {
      while (j < n && isDigit(text[j])) exponent.push_back(static_cast<char>(text[j++]));
      number += exponent;
    }
  }
  // Only ASCII digits, sign, '.' and 'e' reach strtod, and the program never
  // changes the C locale, so the decimal point is '.'.
  return std::strtod(number.c_str(), nullptr);
}

int64_t EndTimeAfter(int64_t start, double seconds) {
  const double ticks = seconds * 10'000'000.0;
  const double room = static_cast<double>(std::numeric_limits<int64_t>::max()) - static_cast<double>(start);
  if (!(ticks < room)) return std::numeric_limits<int64_t>::max();
  if (ticks <= static_cast<double>(std::numeric_limits<int64_t>::min())) return start;
  return start + static_cast<int64_t>(ticks);
}

}  // namespace kp
