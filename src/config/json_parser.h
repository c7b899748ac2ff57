// Strict JSON reader over UTF-8 bytes. Never throws for bad input: a syntax
// error yields no value and "<message> at offset <n>", where n counts bytes
// after an optional leading UTF-8 byte order mark. Nesting is limited to 64
// enclosing containers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config/json_value.h"

namespace kp {

// The document in `bytes` (no terminating zero needed). On failure, and only
// then, `*error` (when given) is overwritten with the error text.
std::optional<JsonValue> ParseJson(std::string_view bytes, std::string* error = nullptr);

}  // namespace kp
