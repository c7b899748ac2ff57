#include "app/export_command.h"

#include <cstdio>

namespace kp {

// The export pipeline does not exist in this build yet; fail visibly.
int RunExport(const std::wstring&, const std::wstring&) {
  std::fputs("export: not available in this build yet\n", stderr);
  return 1;
}

}  // namespace kp
