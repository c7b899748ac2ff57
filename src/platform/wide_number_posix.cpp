#include <cstdlib>
#include <string>

#include "platform/wide_number.h"

namespace kp {

double WideToDouble(std::wstring_view text) {
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

}  // namespace kp
