// The one JSON document model of the program: settings, export jobs and
// update manifests are all read into (and the settings file written from)
// `JsonValue`. A value carries every payload field at once; only the one
// selected by `type` is meaningful, the others stay at their defaults.
// Strings are UTF-8 bytes as decoded and may hold zero bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kp {

enum class JsonType : int32_t {
  Null = 0,
  Bool = 1,
  Number = 2,
  String = 3,
  Array = 4,
  Object = 5,
};

struct JsonMember;

struct JsonValue {
  JsonType type = JsonType::Null;
  bool boolean = false;
  // Integers are stored as doubles too; the writer decides how to print.
  double number = 0.0;
  std::string text;
  std::vector<JsonValue> elements;
  // Insertion order; keys are unique (see SetMember).
  std::vector<JsonMember> members;

  static JsonValue MakeBool(bool value);
  static JsonValue MakeNumber(double value);
  static JsonValue MakeString(std::string value);
  static JsonValue MakeArray();
  static JsonValue MakeObject();
};

struct JsonMember {
  std::string key;
  JsonValue value;
};

// The process-wide value of type Null, created once and never modified.
// Lookups that find nothing return it, so chained lookups never fail.
const JsonValue& NullValue();

// Value of the first member whose key equals `key` byte-wise; NullValue()
// when `object` is not an Object or has no such member. Linear search.
const JsonValue& FindMember(const JsonValue& object, std::string_view key);

// Stores `value` under `key`: a Null target first becomes an empty Object; an
// existing member with an equal key keeps its position and gets the new
// value, otherwise the member is appended. Returns the stored value. The
// target must be Null or an Object.
JsonValue& SetMember(JsonValue& object, std::string_view key, JsonValue value);

// Appends `element`; a Null target first becomes an empty Array. The target
// must be Null or an Array.
void PushBack(JsonValue& array, JsonValue element);

}  // namespace kp
