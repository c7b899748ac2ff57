#include "app/record_command.h"

#include <cstdio>

namespace kp {

// The capture pipeline does not exist in this build yet, so the command says
// so plainly and fails instead of pretending to record.
int RunRecord(const std::wstring&, double, const std::wstring&) {
  std::fputs("record: not available in this build yet\n", stderr);
  return 1;
}

}  // namespace kp
