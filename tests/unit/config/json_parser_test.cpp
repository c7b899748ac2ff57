#include "config/json_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "config/json_value.h"

namespace kp {
namespace {

std::string ErrorOf(std::string_view input) {
  std::string error;
  std::optional<JsonValue> result = ParseJson(input, &error);
  EXPECT_FALSE(result.has_value()) << "parsed: " << input;
  return error;
}

JsonValue Parsed(std::string_view input) {
  std::string error;
  std::optional<JsonValue> result = ParseJson(input, &error);
  EXPECT_TRUE(result.has_value()) << input << ": " << error;
  return result.value_or(JsonValue());
}

struct ErrorCase {
  std::string input;
  std::string expected;
};

TEST(JsonParserTest, ReportsEachErrorWithItsOffset) {
  const std::vector<ErrorCase> cases = {
      {"", "unexpected end of input at offset 0"},
      {"   ", "unexpected end of input at offset 3"},
      {"[", "unexpected end of input at offset 1"},
      {"{\"a\":", "unexpected end of input at offset 5"},
      {"{\"a\" 1}", "expected ':' at offset 5"},
      {"{\"a\"", "expected ':' at offset 4"},
      {"{} x", "unexpected trailing characters at offset 3"},
      {"nullx", "unexpected trailing characters at offset 4"},
      {"truex", "unexpected trailing characters at offset 4"},
      {"tru", "invalid literal at offset 0"},
      {"[fals]", "invalid literal at offset 1"},
      {"[nul", "invalid literal at offset 1"},
      {"[1,]", "unexpected character at offset 3"},
      {"#", "unexpected character at offset 0"},
      {"[1 2]", "expected ',' or ']' at offset 3"},
      {"[1", "expected ',' or ']' at offset 2"},
      {"{\"a\":1,}", "expected object key at offset 7"},
      {"{1:2}", "expected object key at offset 1"},
      {"{\"a\":1,", "expected object key at offset 7"},
      {"{\"a\":1 \"b\"}", "expected ',' or '}' at offset 7"},
      {"{\"a\":1", "expected ',' or '}' at offset 6"},
      {"1e400", "invalid number at offset 5"},
      {"1e999", "invalid number at offset 5"},
      {"-", "invalid number at offset 1"},
      {"[1-2]", "invalid number at offset 4"},
      {"1e", "invalid number at offset 2"},
      {"+-1", "invalid number at offset 3"},
      {"--1", "invalid number at offset 3"},
      {"1.2.3", "invalid number at offset 5"},
      {".", "invalid number at offset 1"},
      {"e5", "invalid number at offset 2"},
      {"Infinity", "unexpected character at offset 0"},
      {"-Infinity", "invalid number at offset 1"},
      {"0x10", "unexpected trailing characters at offset 1"},
      {"\"abc", "unterminated string at offset 4"},
      {"\"ab\\", "unterminated string at offset 4"},
      {"\"a\tb\"", "control character in string at offset 3"},
      {"\"a\nb\"", "control character in string at offset 3"},
      {"\"\\x\"", "invalid escape at offset 3"},
      {"\"\\'\"", "invalid escape at offset 3"},
      {"\"\\u12", "truncated \\u escape at offset 3"},
      {"\"\\u12G4\"", "invalid \\u escape at offset 6"},
      {"\"\\ug", "truncated \\u escape at offset 3"},
      {"\"\\ud83d\"", "unpaired surrogate at offset 7"},
      {"\"\\ud83d", "unpaired surrogate at offset 7"},
      {"\"\\ud83dx\"", "unpaired surrogate at offset 7"},
      {"\"\\ud83d\\n\"", "unpaired surrogate at offset 7"},
      {"\"\\ud83d\\u0041\"", "invalid surrogate pair at offset 13"},
      {"\"\\ud83d\\ud83d\"", "invalid surrogate pair at offset 13"},
      {"\"\\ud83d\\u12", "truncated \\u escape at offset 9"},
      {"\"\\ud83d\\uz000\"", "invalid \\u escape at offset 10"},
      {"{\"a\\q\":1}", "invalid escape at offset 5"},
  };
  for (const ErrorCase& c : cases) {
    EXPECT_EQ(ErrorOf(c.input), c.expected) << "input: " << c.input;
  }
}

TEST(JsonParserTest, ByteOrderMarkIsSkippedAndOffsetsStartAfterIt) {
  EXPECT_EQ(Parsed("\xEF\xBB\xBF{}").type, JsonType::Object);
  EXPECT_EQ(ErrorOf("\xEF\xBB\xBF{} x"), "unexpected trailing characters at offset 3");
  EXPECT_EQ(ErrorOf("\xEF\xBB\xBF"), "unexpected end of input at offset 0");
  // Only a complete mark at the very start is dropped.
  EXPECT_EQ(ErrorOf("\xEF\xBB{}"), "unexpected character at offset 0");
  EXPECT_EQ(ErrorOf(" \xEF\xBB\xBF{}"), "unexpected character at offset 1");
}

TEST(JsonParserTest, NestingLimitIsSixtyFourEnclosingContainers) {
  auto nested = [](int depth, std::string_view inner) {
    return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
  };
  EXPECT_TRUE(ParseJson(nested(64, "1")).has_value());
  EXPECT_EQ(ErrorOf(nested(65, "1")), "nesting too deep at offset 65");
  EXPECT_TRUE(ParseJson(nested(65, "")).has_value());
  EXPECT_EQ(ErrorOf(nested(66, "")), "nesting too deep at offset 65");
  // Objects count the same way. The offset is where the container left the
  // cursor: an array has skipped whitespace looking for ']', an object has
  // not skipped any after the colon.
  std::string objects;
  for (int i = 0; i < 64; ++i) objects += "{\"k\":";
  EXPECT_TRUE(ParseJson(objects + "1" + std::string(64, '}')).has_value());
  EXPECT_EQ(ErrorOf(objects + "[ 1]" + std::string(64, '}')), "nesting too deep at offset 322");
  EXPECT_EQ(ErrorOf(objects + "{\"k\": 1}" + std::string(64, '}')), "nesting too deep at offset 325");
  // Deep input far beyond the limit fails without exhausting the stack.
  EXPECT_EQ(ErrorOf(std::string(100000, '[')), "nesting too deep at offset 65");
}

TEST(JsonParserTest, DuplicateKeysKeepFirstPositionAndLastValue) {
  JsonValue one = Parsed("{\"a\":1,\"a\":2}");
  ASSERT_EQ(one.members.size(), 1u);
  EXPECT_EQ(one.members[0].value.number, 2.0);

  JsonValue two = Parsed("{\"b\":0,\"a\":1,\"b\":2}");
  ASSERT_EQ(two.members.size(), 2u);
  EXPECT_EQ(two.members[0].key, "b");
  EXPECT_EQ(two.members[0].value.number, 2.0);
  EXPECT_EQ(two.members[1].key, "a");
}

struct NumberCase {
  std::string input;
  double expected;
};

TEST(JsonParserTest, NumbersFollowTheCLibraryConversion) {
  const std::vector<NumberCase> cases = {
      {"+1", 1.0},      {"01", 1.0},        {".5", 0.5},      {"5.", 5.0},          {"-.5", -0.5},
      {"+.5e1", 5.0},   {"1E2", 100.0},     {"1e+2", 100.0},  {"25e-1", 2.5},       {"0.1", 0.1},
      {"-0", -0.0},     {"1e-999", 0.0},    {"-1e-999", -0.0}, {"0e99999", 0.0},     {"00.00e-00", 0.0},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"4.9406564584124654e-324", 4.9406564584124654e-324},
      {"1e-320", 1e-320},
      {"3e-324", 4.9406564584124654e-324},
      {"2e-324", 0.0},
      {"0.000000000000000000000000000000000000000001e-300", 0.0},
      {"123456789012345678901234567890", 1.2345678901234568e29},
  };
  for (const NumberCase& c : cases) {
    JsonValue v = Parsed(c.input);
    EXPECT_EQ(v.type, JsonType::Number) << c.input;
    EXPECT_EQ(v.number, c.expected) << c.input;
    EXPECT_EQ(std::signbit(v.number), std::signbit(c.expected)) << c.input;
  }
  EXPECT_EQ(ErrorOf("1.7976931348623159e308"), "invalid number at offset 22");
  EXPECT_EQ(ErrorOf("1" + std::string(400, '0')), "invalid number at offset 401");
  EXPECT_EQ(ErrorOf("-1e309"), "invalid number at offset 6");
}

TEST(JsonParserTest, StringEscapesDecodeToUtf8Bytes) {
  EXPECT_EQ(Parsed("\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"").text, "\"\\/\b\f\n\r\t");
  EXPECT_EQ(Parsed("\"\\u00e9\"").text, "\xC3\xA9");
  EXPECT_EQ(Parsed("\"\\u00E9\"").text, "\xC3\xA9");
  EXPECT_EQ(Parsed("\"\\u0041\"").text, "A");
  EXPECT_EQ(Parsed("\"\\u20AC\"").text, "\xE2\x82\xAC");
  EXPECT_EQ(Parsed("\"\\ud83d\\ude00\"").text, "\xF0\x9F\x98\x80");
  EXPECT_EQ(Parsed("\"\\uDBFF\\uDFFF\"").text, "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(Parsed("\"\\udc00\"").text, "\xED\xB0\x80");
  EXPECT_EQ(Parsed("\"a\\u0000b\"").text, std::string("a\0b", 3));
  // Raw bytes at and above 0x7F are copied unvalidated.
  EXPECT_EQ(Parsed("\"\x7F\xFF\xC3\"").text, "\x7F\xFF\xC3");
}

TEST(JsonParserTest, ParsesNestedDocumentsWithWhitespace) {
  JsonValue v = Parsed(" \t\r\n{ \"video\" : { \"fps\" : 30 , \"on\":true,\"x\":null } , \"list\" : [ false , \"s\" , [ ] , { } ] } \n");
  ASSERT_EQ(v.type, JsonType::Object);
  EXPECT_EQ(FindMember(FindMember(v, "video"), "fps").number, 30.0);
  EXPECT_TRUE(FindMember(FindMember(v, "video"), "on").boolean);
  EXPECT_EQ(FindMember(FindMember(v, "video"), "x").type, JsonType::Null);
  const JsonValue& list = FindMember(v, "list");
  ASSERT_EQ(list.elements.size(), 4u);
  EXPECT_EQ(list.elements[0].type, JsonType::Bool);
  EXPECT_FALSE(list.elements[0].boolean);
  EXPECT_EQ(list.elements[1].text, "s");
  EXPECT_EQ(list.elements[2].type, JsonType::Array);
  EXPECT_EQ(list.elements[3].type, JsonType::Object);
  // Form feed is not whitespace.
  EXPECT_EQ(ErrorOf("\f1"), "unexpected character at offset 0");
}

TEST(JsonParserTest, ErrorTextIsWrittenOnlyOnFailure) {
  std::string error = "previous";
  EXPECT_TRUE(ParseJson("[]", &error).has_value());
  EXPECT_EQ(error, "previous");
  EXPECT_FALSE(ParseJson("[", &error).has_value());
  EXPECT_EQ(error, "unexpected end of input at offset 1");
  EXPECT_FALSE(ParseJson("[").has_value());
}

TEST(JsonValueTest, LookupsAndEdits) {
  JsonValue text = JsonValue::MakeString("x");
  EXPECT_EQ(&FindMember(text, "a"), &NullValue());
  EXPECT_EQ(&FindMember(JsonValue::MakeArray(), "a"), &NullValue());
  EXPECT_EQ(&FindMember(JsonValue(), "a"), &NullValue());
  EXPECT_EQ(&FindMember(FindMember(JsonValue(), "video"), "fps"), &NullValue());

  JsonValue object;
  SetMember(object, "a", JsonValue::MakeNumber(1));
  EXPECT_EQ(object.type, JsonType::Object);
  ASSERT_EQ(object.members.size(), 1u);
  SetMember(object, "b", JsonValue::MakeNumber(2));
  JsonValue& replaced = SetMember(object, "a", JsonValue::MakeString("z"));
  ASSERT_EQ(object.members.size(), 2u);
  EXPECT_EQ(&replaced, &object.members[0].value);
  EXPECT_EQ(object.members[0].value.text, "z");
  EXPECT_EQ(object.members[1].key, "b");

  JsonValue array;
  PushBack(array, JsonValue::MakeBool(true));
  PushBack(array, JsonValue());
  EXPECT_EQ(array.type, JsonType::Array);
  ASSERT_EQ(array.elements.size(), 2u);
  EXPECT_TRUE(array.elements[0].boolean);
  EXPECT_EQ(NullValue().type, JsonType::Null);
}

}  // namespace
}  // namespace kp
