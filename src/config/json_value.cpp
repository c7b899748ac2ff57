#include "config/json_value.h"

#include <utility>

namespace kp {

JsonValue JsonValue::MakeBool(bool value) {
  JsonValue result;
  result.type = JsonType::Bool;
  result.boolean = value;
  return result;
}

JsonValue JsonValue::MakeNumber(double value) {
  JsonValue result;
  result.type = JsonType::Number;
  result.number = value;
  return result;
}

JsonValue JsonValue::MakeString(std::string value) {
  JsonValue result;
  result.type = JsonType::String;
  result.text = std::move(value);
  return result;
}

JsonValue JsonValue::MakeArray() {
  JsonValue result;
  result.type = JsonType::Array;
  return result;
}

JsonValue JsonValue::MakeObject() {
  JsonValue result;
  result.type = JsonType::Object;
  return result;
}

const JsonValue& NullValue() {
  static const JsonValue null;
  return null;
}

const JsonValue& FindMember(const JsonValue& object, std::string_view key) {
  if (object.type != JsonType::Object) return NullValue();
  for (const JsonMember& member : object.members) {
    if (member.key == key) return member.value;
  }
  return NullValue();
}

JsonValue& SetMember(JsonValue& object, std::string_view key, JsonValue value) {
  if (object.type == JsonType::Null) object.type = JsonType::Object;
  for (JsonMember& member : object.members) {
    if (member.key == key) {
      member.value = std::move(value);
      return member.value;
    }
  }
  object.members.push_back(JsonMember{std::string(key), std::move(value)});
  return object.members.back().value;
}

void PushBack(JsonValue& array, JsonValue element) {
  if (array.type == JsonType::Null) array.type = JsonType::Array;
  array.elements.push_back(std::move(element));
}

}  // namespace kp
