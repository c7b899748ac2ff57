#include <cstdlib>
#include <string>

#include "platform/wide_number.h"

namespace kp {

double WideToDouble(std::wstring_view text) { return ::_wtof(std::wstring(text).c_str()); }

}  // namespace kp
