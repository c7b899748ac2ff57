// Linux entry point: the same command line as Kaptora.exe, plus
// "--stand-ins" anywhere on it (Linux only), which keeps every device on its
// stand-in.
#include <string>
#include <vector>

#include "app/entry.h"
#include "platform/stand_ins_posix.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  std::vector<std::wstring> words;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--stand-ins") {
      kp::RequireStandIns();
      continue;
    }
    words.push_back(kp::Utf8ToWide(argv[i]));
  }
  return kp::RunKaptora(nullptr, words);
}
