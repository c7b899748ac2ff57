#include "config/json_parser.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>

namespace kp {
namespace {

constexpr int kMaxDepth = 64;

bool IsWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsNumberByte(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(uint32_t codePoint, std::string* out) {
  if (codePoint < 0x80) {
    out->push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

// For a decimal number that std::from_chars reported out of range: true when
// its magnitude is below 1 (so the range error was an underflow to zero),
// false when it overflowed. `text` is unsigned and syntactically valid.
bool MagnitudeBelowOne(std::string_view text) {
  size_t pos = 0;
  int64_t integerDigits = 0;
  int64_t firstNonZero = -1;  // index among all mantissa digits
  int64_t digitIndex = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, ++digitIndex) {
    if (firstNonZero < 0 && text[pos] != '0') firstNonZero = digitIndex;
    ++integerDigits;
  }
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, ++digitIndex) {
      if (firstNonZero < 0 && text[pos] != '0') firstNonZero = digitIndex;
    }
  }
  if (firstNonZero < 0) return true;  // all zeros: cannot overflow
  int64_t exponent = 0;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
    constexpr int64_t kSaturation = int64_t{1} << 40;  // far beyond any double's range
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
      if (exponent < kSaturation) exponent = exponent * 10 + (text[pos] - '0');
    }
    if (negative) exponent = -exponent;
  }
  // Decimal exponent of the leading significant digit.
  int64_t scientific = integerDigits - 1 - firstNonZero + exponent;
  return scientific < 0;
}

// Converts a run of [0-9+-.eE] the way the C library's strtod does in the
// "C" locale, requiring the whole run to be consumed: an optional sign, then
// digits with an optional decimal point (at least one digit), then an
// optional exponent with at least one digit. Results that round to zero are
// accepted (as strtod returns them); overflow to infinity is rejected.
// std::from_chars is locale-independent and correctly rounded, as strtod is,
// but it takes no '+' and reports underflow as a range error, so both are
// handled here.
bool ConvertNumber(std::string_view run, double* value) {
  bool negative = false;
  if (!run.empty() && (run[0] == '+' || run[0] == '-')) {
    negative = run[0] == '-';
    run.remove_prefix(1);
  }
  if (run.empty() || run[0] == '+' || run[0] == '-') return false;
  double magnitude = 0.0;
  const char* end = run.data() + run.size();
  std::from_chars_result result = std::from_chars(run.data(), end, magnitude, std::chars_format::general);
  if (result.ptr != end) return false;
  if (result.ec == std::errc::result_out_of_range) {
    if (!MagnitudeBelowOne(run)) return false;
    magnitude = 0.0;
  } else if (result.ec != std::errc()) {
    return false;
  }
  if (!std::isfinite(magnitude)) return false;
  *value = negative ? -magnitude : magnitude;
  return true;
}

class Parser {
 public:
  explicit Parser(std::string_view bytes) : bytes_(bytes) {}

  std::optional<JsonValue> ParseDocument() {
    JsonValue root;
    if (!ParseValue(0, &root)) return std::nullopt;
    SkipWhitespace();
    if (pos_ < bytes_.size()) {
      Fail("unexpected trailing characters");
      return std::nullopt;
    }
    return root;
  }

  std::string ErrorText() const { return message_ + " at offset " + std::to_string(errorOffset_); }

 private:
  bool AtEnd() const { return pos_ >= bytes_.size(); }

  // Records the first error only; returns false for convenient tail calls.
  bool Fail(const char* message) {
    if (message_.empty()) {
      message_ = message;
      errorOffset_ = pos_;
    }
    return false;
  }

  void SkipWhitespace() {
    while (pos_ < bytes_.size() && IsWhitespace(bytes_[pos_])) ++pos_;
  }

  bool ParseValue(int depth, JsonValue* out) {
    if (depth > kMaxDepth) return Fail("nesting too deep");
    SkipWhitespace();
    if (AtEnd()) return Fail("unexpected end of input");
    switch (bytes_[pos_]) {
      case '"':
        out->type = JsonType::String;
        return ParseString(&out->text);
      case '[':
        return ParseArray(depth, out);
      case '{':
        return ParseObject(depth, out);
      case 't':
        if (!ParseLiteral("true")) return false;
        out->type = JsonType::Bool;
        out->boolean = true;
        return true;
      case 'f':
        if (!ParseLiteral("false")) return false;
        out->type = JsonType::Bool;
        out->boolean = false;
        return true;
      case 'n':
        if (!ParseLiteral("null")) return false;
        out->type = JsonType::Null;
        return true;
      default:
        return ParseNumber(out);
    }
  }

  bool ParseLiteral(std::string_view literal) {
    if (bytes_.size() - pos_ < literal.size() || bytes_.substr(pos_, literal.size()) != literal) {
      return Fail("invalid literal");
    }
    pos_ += literal.size();
    return true;
  }

  bool ParseNumber(JsonValue* out) {
    size_t start = pos_;
    while (pos_ < bytes_.size() && IsNumberByte(bytes_[pos_])) ++pos_;
    if (pos_ == start) return Fail("unexpected character");
    double value = 0.0;
    if (!ConvertNumber(bytes_.substr(start, pos_ - start), &value)) return Fail("invalid number");
    out->type = JsonType::Number;
    out->number = value;
    return true;
  }

  // Reads four hexadecimal digits after a "\u" (cursor on the first digit).
  bool ParseCodeUnit(uint32_t* unit) {
    if (bytes_.size() - pos_ < 4) return Fail("truncated \\u escape");
    uint32_t result = 0;
    for (int i = 0; i < 4; ++i) {
      int digit = HexDigitValue(bytes_[pos_++]);
      if (digit < 0) return Fail("invalid \\u escape");
      result = (result << 4) | static_cast<uint32_t>(digit);
    }
    *unit = result;
    return true;
  }

  // Cursor just past the 'u' of a "\u" escape.
  bool ParseUnicodeEscape(std::string* out) {
    uint32_t unit = 0;
    if (!ParseCodeUnit(&unit)) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (bytes_.size() - pos_ < 2 || bytes_[pos_] != '\\' || bytes_[pos_ + 1] != 'u') {
        return Fail("unpaired surrogate");
      }
      pos_ += 2;
      uint32_t low = 0;
      if (!ParseCodeUnit(&low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return Fail("invalid surrogate pair");
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    // A lone low surrogate is kept as its three-byte form on purpose.
    AppendUtf8(unit, out);
    return true;
  }

  // Cursor on the opening quotation mark.
  bool ParseString(std::string* out) {
    ++pos_;
    while (true) {
      if (AtEnd()) return Fail("unterminated string");
      char c = bytes_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        ++pos_;
        return Fail("control character in string");
      }
      if (c != '\\') {
        out->push_back(c);
        ++pos_;
        continue;
      }
      ++pos_;
      if (AtEnd()) return Fail("unterminated string");
      char escape = bytes_[pos_++];
      switch (escape) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case '/': out->push_back('/'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u':
          if (!ParseUnicodeEscape(out)) return false;
          break;
        default:
          return Fail("invalid escape");
      }
    }
  }

  // Cursor on '['.
  bool ParseArray(int depth, JsonValue* out) {
    ++pos_;
    out->type = JsonType::Array;
    SkipWhitespace();
    if (!AtEnd() && bytes_[pos_] == ']') {
      ++pos_;
      return true;
    }
    while (true) {
      JsonValue element;
      if (!ParseValue(depth + 1, &element)) return false;
      out->elements.push_back(std::move(element));
      SkipWhitespace();
      if (AtEnd()) return Fail("expected ',' or ']'");
      char c = bytes_[pos_];
      if (c == ',') {
        ++pos_;
        continue;
      }
      if (c == ']') {
        ++pos_;
        return true;
      }
      return Fail("expected ',' or ']'");
    }
  }

  // Cursor on '{'.
  bool ParseObject(int depth, JsonValue* out) {
    ++pos_;
    out->type = JsonType::Object;
    SkipWhitespace();
    if (!AtEnd() && bytes_[pos_] == '}') {
      ++pos_;
      return true;
    }
    while (true) {
      SkipWhitespace();
      if (AtEnd() || bytes_[pos_] != '"') return Fail("expected object key");
      std::string key;
      if (!ParseString(&key)) return false;
      SkipWhitespace();
      if (AtEnd() || bytes_[pos_] != ':') return Fail("expected ':'");
      ++pos_;
      JsonValue value;
      if (!ParseValue(depth + 1, &value)) return false;
      SetMember(*out, key, std::move(value));
      SkipWhitespace();
      if (!AtEnd() && bytes_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (!AtEnd() && bytes_[pos_] == '}') {
        ++pos_;
        return true;
      }
      return Fail("expected ',' or '}'");
    }
  }

  std::string_view bytes_;
  size_t pos_ = 0;
  std::string message_;
  size_t errorOffset_ = 0;
};

}  // namespace

std::optional<JsonValue> ParseJson(std::string_view bytes, std::string* error) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark) bytes.remove_prefix(kByteOrderMark.size());
  Parser parser(bytes);
  std::optional<JsonValue> result = parser.ParseDocument();
  if (!result && error != nullptr) *error = parser.ErrorText();
  return result;
}

}  // namespace kp
