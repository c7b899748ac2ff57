// Linux entry point: the same command line as Kaptora.exe.
#include <string>
#include <vector>

#include "app/entry.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  std::vector<std::wstring> words;
  for (int i = 1; i < argc; ++i) words.push_back(kp::Utf8ToWide(argv[i]));
  return kp::RunKaptora(nullptr, words);
}
