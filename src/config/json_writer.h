// Writes a JsonValue in the program's one fixed layout: two-space
// indentation, one member or element per line, empty containers as "{}" and
// "[]", and a final line feed. Numbers that are whole and below 1e15 in
// magnitude print as integers, others with 17 significant digits, so every
// finite double reads back exactly.
#pragma once

#include <string>

#include "config/json_value.h"

namespace kp {

std::string SerializeJson(const JsonValue& value);

}  // namespace kp
