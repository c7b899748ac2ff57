#include "config/json_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "config/json_parser.h"
#include "config/json_value.h"

namespace kp {
namespace {

// Whole values below 1e15 print as integers, everything else with 17 digits.
TEST(JsonWriterTest, NumbersAndStrings) {
  const struct {
    JsonValue value;
    std::string text;
  } rows[] = {
      {JsonValue::MakeNumber(-7.0), "-7"},  {JsonValue::MakeNumber(-0.0), "0"},
      {JsonValue::MakeNumber(2.5), "2.5"}, {JsonValue::MakeNumber(0.1), "0.10000000000000001"},
      {JsonValue::MakeNumber(999999999999999.0), "999999999999999"},
      {JsonValue::MakeNumber(-1e15), "-1000000000000000"}, {JsonValue::MakeNumber(1e17), "1e+17"},
      {JsonValue::MakeNumber(4.9406564584124654e-324), "4.9406564584124654e-324"},
      {JsonValue::MakeString("\"\\\n\r\t/\xC3\xA9\x7F\xFF"), "\"\\\"\\\\\\n\\r\\t/\xC3\xA9\x7F\xFF\""},
      {JsonValue::MakeString(std::string("\0\b\f\x1F", 4)), "\"\\u0000\\u0008\\u000c\\u001f\""},
  };
  for (const auto& row : rows) EXPECT_EQ(SerializeJson(row.value), row.text + "\n") << row.text;
}

// Parsed with whitespace around every token, printed in the fixed layout.
TEST(JsonWriterTest, ContainersUseTwoSpaceIndentationOneItemPerLine) {
  const std::optional<JsonValue> doc =
      ParseJson(" \t\r\n{\"a\" : [ 1 ,true],\"b\":{ },\"k\\\"ey\":{\"list\":[[ ],{\"x\":null},false]}} \n");
  ASSERT_TRUE(doc.has_value());
  EXPECT_EQ(SerializeJson(*doc),
            "{\n  \"a\": [\n    1,\n    true\n  ],\n"
            "  \"b\": {},\n"
            "  \"k\\\"ey\": {\n    \"list\": [\n      [],\n      {\n        \"x\": null\n      },\n      false\n    ]\n  }\n"
            "}\n");
}

}  // namespace
}  // namespace kp
