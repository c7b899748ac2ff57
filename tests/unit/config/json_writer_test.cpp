#include "config/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "config/json_parser.h"
#include "config/json_value.h"

namespace kp {
namespace {

std::string WriteNumber(double x) { return SerializeJson(JsonValue::MakeNumber(x)); }

TEST(JsonWriterTest, NumbersUseTheIntegerPathOnlyForWholeValuesBelow1e15) {
  const std::vector<std::pair<double, std::string>> cases = {
      {3.0, "3"},
      {30.0, "30"},
      {-7.0, "-7"},
      {2.5, "2.5"},
      {-0.0, "0"},
      {0.1, "0.10000000000000001"},
      {999999999999999.0, "999999999999999"},
      {-999999999999999.0, "-999999999999999"},
      {1e15, "1000000000000000"},
      {-1e15, "-1000000000000000"},
      {1e17, "1e+17"},
      {123456789.125, "123456789.125"},
      {1e-7, "9.9999999999999995e-08"},
      {4.9406564584124654e-324, "4.9406564584124654e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
  };
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(WriteNumber(value), text + "\n") << text;
  }
}

TEST(JsonWriterTest, StringsEscapeOnlyQuotesBackslashesAndControlBytes) {
  EXPECT_EQ(SerializeJson(JsonValue::MakeString("\x01")), "\"\\u0001\"\n");
  EXPECT_EQ(SerializeJson(JsonValue::MakeString("\b\f\x1F")), "\"\\u0008\\u000c\\u001f\"\n");
  EXPECT_EQ(SerializeJson(JsonValue::MakeString("\"\\\n\r\t")), "\"\\\"\\\\\\n\\r\\t\"\n");
  EXPECT_EQ(SerializeJson(JsonValue::MakeString("/\xC3\xA9\x7F\xFF")), "\"/\xC3\xA9\x7F\xFF\"\n");
  EXPECT_EQ(SerializeJson(JsonValue::MakeString(std::string("a\0b", 3))), "\"a\\u0000b\"\n");
}

TEST(JsonWriterTest, ScalarsAndEmptyContainers) {
  EXPECT_EQ(SerializeJson(JsonValue()), "null\n");
  EXPECT_EQ(SerializeJson(JsonValue::MakeBool(true)), "true\n");
  EXPECT_EQ(SerializeJson(JsonValue::MakeBool(false)), "false\n");
  EXPECT_EQ(SerializeJson(JsonValue::MakeObject()), "{}\n");
  EXPECT_EQ(SerializeJson(JsonValue::MakeArray()), "[]\n");
}

TEST(JsonWriterTest, ContainersUseTwoSpaceIndentationOneItemPerLine) {
  JsonValue root;
  JsonValue& a = SetMember(root, "a", JsonValue::MakeArray());
  PushBack(a, JsonValue::MakeNumber(1));
  PushBack(a, JsonValue::MakeNumber(2.5));
  SetMember(root, "b", JsonValue::MakeObject());
  EXPECT_EQ(SerializeJson(root),
            "{\n"
            "  \"a\": [\n"
            "    1,\n"
            "    2.5\n"
            "  ],\n"
            "  \"b\": {}\n"
            "}\n");

  JsonValue nested;
  JsonValue& inner = SetMember(nested, "k\"ey", JsonValue::MakeObject());
  JsonValue& list = SetMember(inner, "list", JsonValue::MakeArray());
  PushBack(list, JsonValue::MakeArray());
  JsonValue element;
  SetMember(element, "x", JsonValue());
  PushBack(list, std::move(element));
  EXPECT_EQ(SerializeJson(nested),
            "{\n"
            "  \"k\\\"ey\": {\n"
            "    \"list\": [\n"
            "      [],\n"
            "      {\n"
            "        \"x\": null\n"
            "      }\n"
            "    ]\n"
            "  }\n"
            "}\n");
}

TEST(JsonWriterTest, OutputReadsBackToTheSameDocument) {
  const std::string inputs[] = {
      "{\"b\":0,\"a\":[1,-2.5e-3,1e300,4.9e-324,\"\\u0001\\\\\\\"x\"],\"c\":{\"d\":[[],{}]},\"e\":null}",
      "[0.1,0.2,0.30000000000000004,123456789012345678,-0,true,false]",
      "\"\\ud83d\\ude00\\u00e9/\"",
  };
  for (const std::string& input : inputs) {
    std::optional<JsonValue> first = ParseJson(input);
    ASSERT_TRUE(first.has_value()) << input;
    std::string once = SerializeJson(*first);
    std::optional<JsonValue> second = ParseJson(once);
    ASSERT_TRUE(second.has_value()) << once;
    EXPECT_EQ(SerializeJson(*second), once);
  }
}

}  // namespace
}  // namespace kp
