#include "update/version.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace kp {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// atoi's reading of one piece; saturates where atoi would be undefined.
int PieceToNumber(std::string_view piece) {
  size_t i = 0;
  while (i < piece.size() && IsBlank(piece[i])) ++i;
  bool negative = false;
  if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) {
    negative = piece[i] == '-';
    ++i;
  }
  int64_t value = 0;
  for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) {
    value = std::min<int64_t>(value * 10 + (piece[i] - '0'), int64_t{INT_MAX} + 1);
  }
  if (negative) return static_cast<int>(-value);
  return static_cast<int>(std::min<int64_t>(value, INT_MAX));
}

}  // namespace

std::vector<int> ParseVersion(std::string_view text) {
  std::vector<int> numbers;
  size_t start = 0;
  while (true) {
    const size_t dot = text.find('.', start);
    numbers.push_back(PieceToNumber(text.substr(start, dot == std::string_view::npos ? text.npos : dot - start)));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  while (numbers.size() < 3) numbers.push_back(0);
  return numbers;
}

bool IsNewer(std::string_view candidate, std::string_view current) {
  const std::vector<int> a = ParseVersion(candidate);
  const std::vector<int> b = ParseVersion(current);
  return std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end());
}

}  // namespace kp
