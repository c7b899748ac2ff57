// Number text as the C runtime reads it.
#pragma once

#include <string_view>

namespace kp {

// The C runtime's _wtof: leading white space, an optional sign, decimal
// digits with an optional point and exponent; the longest such prefix is
// converted and anything after it ignored, so "10s" reads as 10 and "abc" as
// 0. Windows calls _wtof itself. POSIX has no _wtof, so it reads the same
// decimal grammar portably and takes nothing else: no hexadecimal, "inf" or
// "nan" (0); overflow gives infinity.
double WideToDouble(std::wstring_view text);

}  // namespace kp
