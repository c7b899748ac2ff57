// UTF-8 <-> wide conversion. Wide strings are UTF-16 on Windows and UTF-32 on
// Linux; both directions follow the UTF-8 code page with flags 0: invalid
// input is replaced with U+FFFD rather than rejected.
#pragma once

#include <string>
#include <string_view>

namespace kp {

std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

}  // namespace kp
