// A minimal checker for Windows test programs run under Wine.
#pragma once

#include <cstdio>

namespace kp::wintest {

inline int g_passed = 0;
inline int g_failed = 0;

inline void Check(bool ok, const char* what, const char* file, int line) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAILED %s:%d: %s\n", file, line, what);
  }
}

inline int Finish() {
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}

}  // namespace kp::wintest

#define KP_CHECK(expr) ::kp::wintest::Check(static_cast<bool>(expr), #expr, __FILE__, __LINE__)
