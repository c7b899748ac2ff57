#include "app/desktop_launch.h"

#include "platform/path.h"
#include "platform/text.h"

namespace kp {

namespace {

// Words of a Windows-style parameter string: spaces separate, double
// quotes group and are removed.
std::vector<std::wstring> SplitParameters(const std::wstring& parameters) {
  std::vector<std::wstring> words;
  std::wstring word;
  bool quoted = false, inWord = false;
  for (wchar_t c : parameters) {
    if (c == L'"') {
      quoted = !quoted;
      inWord = true;
    } else if (c == L' ' && !quoted) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

}  // namespace

std::vector<std::string> DesktopLaunchArguments(const std::wstring& program, const std::wstring& parameters) {
  std::vector<std::wstring> words = SplitParameters(parameters);
  if (program == L"explorer.exe" && words.size() == 1 && words[0].rfind(L"/select,", 0) == 0) {
    return {"xdg-open", WideToUtf8(ParentFolder(words[0].substr(8)))};
  }
  if (program == L"explorer.exe" || program == L"notepad.exe") {
    std::vector<std::string> arguments{"xdg-open"};
    for (const std::wstring& w : words) arguments.push_back(WideToUtf8(w));
    return arguments;
  }
  std::vector<std::string> arguments{WideToUtf8(program)};
  for (const std::wstring& w : words) arguments.push_back(WideToUtf8(w));
  return arguments;
}

}  // namespace kp
