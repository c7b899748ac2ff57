#include "config/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace kp {
namespace {

void AppendIndent(int depth, std::string* out) { out->append(static_cast<size_t>(depth) * 2, ' '); }

// std::to_chars with an explicit format and precision is specified to match
// printf in the "C" locale, so "%lld" and "%.17g" are reproduced without
// depending on the process locale.
void AppendNumber(double x, std::string* out) {
  char buffer[32];
  std::to_chars_result result;
  if (x == std::floor(x) && std::fabs(x) < 1e15) {
    result = std::to_chars(buffer, buffer + sizeof(buffer), static_cast<long long>(x));
  } else {
    result = std::to_chars(buffer, buffer + sizeof(buffer), x, std::chars_format::general, 17);
  }
  out->append(buffer, result.ptr);
}

void AppendString(const std::string& text, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      default:
        if (byte < 0x20) {
          const char escape[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
          out->append(escape, sizeof(escape));
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

void AppendValue(const JsonValue& value, int depth, std::string* out) {
  switch (value.type) {
    case JsonType::Null:
      out->append("null");
      return;
    case JsonType::Bool:
      out->append(value.boolean ? "true" : "false");
      return;
    case JsonType::Number:
      AppendNumber(value.number, out);
      return;
    case JsonType::String:
      AppendString(value.text, out);
      return;
    case JsonType::Array:
      if (value.elements.empty()) {
        out->append("[]");
        return;
      }
      out->append("[\n");
      for (size_t i = 0; i < value.elements.size(); ++i) {
        AppendIndent(depth + 1, out);
        AppendValue(value.elements[i], depth + 1, out);
        out->append(i + 1 < value.elements.size() ? ",\n" : "\n");
      }
      AppendIndent(depth, out);
      out->push_back(']');
      return;
    case JsonType::Object:
      if (value.members.empty()) {
        out->append("{}");
        return;
      }
      out->append("{\n");
      for (size_t i = 0; i < value.members.size(); ++i) {
        AppendIndent(depth + 1, out);
        AppendString(value.members[i].key, out);
        out->append(": ");
        AppendValue(value.members[i].value, depth + 1, out);
        out->append(i + 1 < value.members.size() ? ",\n" : "\n");
      }
      AppendIndent(depth, out);
      out->push_back('}');
      return;
  }
}

}  // namespace

std::string SerializeJson(const JsonValue& value) {
  std::string out;
  AppendValue(value, 0, &out);
  out.push_back('\n');
  return out;
}

}  // namespace kp
