#include "config/json_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "config/json_value.h"

namespace kp {
namespace {

std::string ErrorOf(std::string_view input) {
  std::string error;
  EXPECT_FALSE(ParseJson(input, &error).has_value()) << "parsed: " << input;
  return error;
}

JsonValue Parsed(std::string_view input) {
  std::string error;
  std::optional<JsonValue> result = ParseJson(input, &error);
  EXPECT_TRUE(result.has_value()) << input << ": " << error;
  return result.value_or(JsonValue());
}

// The first error and where the cursor stood, one row per way to fail.
TEST(JsonParserTest, ReportsEachErrorWithItsOffset) {
  const struct {
    std::string input, expected;
  } rows[] = {
      {"", "unexpected end of input at offset 0"}, {"   ", "unexpected end of input at offset 3"},
      {"{\"a\":", "unexpected end of input at offset 5"}, {"{\"a\" 1}", "expected ':' at offset 5"},
      {"{\"a\"", "expected ':' at offset 4"}, {"{} x", "unexpected trailing characters at offset 3"},
      {"nullx", "unexpected trailing characters at offset 4"}, {"0x10", "unexpected trailing characters at offset 1"},
      {"tru", "invalid literal at offset 0"}, {"[fals]", "invalid literal at offset 1"},
      {"[1,]", "unexpected character at offset 3"}, {"\f1", "unexpected character at offset 0"},
      {"[1 2]", "expected ',' or ']' at offset 3"}, {"[1", "expected ',' or ']' at offset 2"},
      {"{\"a\":1,}", "expected object key at offset 7"}, {"{1:2}", "expected object key at offset 1"},
      {"{\"a\":1 \"b\"}", "expected ',' or '}' at offset 7"}, {"{\"a\":1", "expected ',' or '}' at offset 6"},
      {"1e400", "invalid number at offset 5"}, {"1e+400", "invalid number at offset 6"},
      {"-", "invalid number at offset 1"},
      {"1e", "invalid number at offset 2"}, {"+-1", "invalid number at offset 3"},
      {"1.2.3", "invalid number at offset 5"}, {"-Infinity", "invalid number at offset 1"},
      {"\"abc", "unterminated string at offset 4"}, {"\"ab\\", "unterminated string at offset 4"},
      {"\"a\tb\"", "control character in string at offset 3"}, {"\"\\x\"", "invalid escape at offset 3"},
      {"\"\\u12", "truncated \\u escape at offset 3"}, {"\"\\u12G4\"", "invalid \\u escape at offset 6"},
      {"\"\\ud83d\"", "unpaired surrogate at offset 7"}, {"\"\\ud83d\\n\"", "unpaired surrogate at offset 7"},
      {"\"\\ud83d\\udbff\"", "invalid surrogate pair at offset 13"},
      {"\"\\ud83d\\ue000\"", "invalid surrogate pair at offset 13"},
      {"\"\\ud83d\\u12", "truncated \\u escape at offset 9"},
  };
  for (const auto& row : rows) EXPECT_EQ(ErrorOf(row.input), row.expected) << "input: " << row.input;

  std::string error = "previous";
  EXPECT_TRUE(ParseJson("[]", &error).has_value());
  EXPECT_EQ(error, "previous");  // written on failure only
}

TEST(JsonParserTest, OnlyALeadingByteOrderMarkIsSkippedAndOffsetsStartAfterIt) {
  EXPECT_EQ(Parsed("\xEF\xBB\xBF{}").type, JsonType::Object);
  EXPECT_EQ(ErrorOf("\xEF\xBB\xBF{} x"), "unexpected trailing characters at offset 3");
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
  std::string objects;
  for (int i = 0; i < 64; ++i) objects += "{\"k\":";
  EXPECT_TRUE(ParseJson(objects + "1" + std::string(64, '}')).has_value());
  EXPECT_EQ(ErrorOf(objects + "{\"k\": 1}" + std::string(64, '}')), "nesting too deep at offset 325");
  EXPECT_EQ(ErrorOf(std::string(100000, '[')), "nesting too deep at offset 65");  // no stack exhaustion
}

TEST(JsonParserTest, DuplicateKeysKeepFirstPositionAndLastValue) {
  JsonValue v = Parsed("{\"b\":0,\"a\":1,\"b\":2}");
  ASSERT_EQ(v.members.size(), 2u);
  EXPECT_EQ(v.members[0].key, "b");
  EXPECT_EQ(v.members[0].value.number, 2.0);
  EXPECT_EQ(v.members[1].key, "a");
}

// strtod's reading, including results that round to zero; overflow fails.
TEST(JsonParserTest, NumbersFollowTheCLibraryConversion) {
  const struct {
    std::string input;
    double expected;
  } rows[] = {
      {"+1", 1.0}, {"01", 1.0}, {".5", 0.5}, {"-.5", -0.5}, {"5.", 5.0}, {"1E2", 100.0}, {"25e-1", 2.5}, {"-0", -0.0},
      {"1e-999", 0.0}, {"-1e-999", -0.0}, {"0e99999", 0.0}, {"3e-324", 4.9406564584124654e-324}, {"2e-324", 0.0},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"0.000000000000000000000000000000000000000001e-300", 0.0},
  };
  for (const auto& row : rows) {
    const JsonValue v = Parsed(row.input);
    EXPECT_EQ(v.type, JsonType::Number) << row.input;
    EXPECT_EQ(v.number, row.expected) << row.input;
    EXPECT_EQ(std::signbit(v.number), std::signbit(row.expected)) << row.input;
  }
  EXPECT_EQ(ErrorOf("1.7976931348623159e308"), "invalid number at offset 22");
  EXPECT_EQ(ErrorOf("1" + std::string(400, '0')), "invalid number at offset 401");
  EXPECT_EQ(ErrorOf("-1e309"), "invalid number at offset 6");
}

TEST(JsonParserTest, StringEscapesDecodeToUtf8Bytes) {
  EXPECT_EQ(Parsed("\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"").text, "\"\\/\b\f\n\r\t");
  EXPECT_EQ(Parsed("\"\\u0041\\u007F\\u0080\\u00e9\\u07FF\\u0800\\uFFFF\"").text,
            "A\x7F\xC2\x80\xC3\xA9\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
  EXPECT_EQ(Parsed("\"\\ud800\\udc00\\ud83d\\ude00\\uDBFF\\uDFFF\"").text,
            "\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
  EXPECT_EQ(Parsed("\"\\udc00\"").text, "\xED\xB0\x80");  // a lone low surrogate is kept
  EXPECT_EQ(Parsed("\"a\\u0000b\x7F\xFF\"").text, std::string("a\0b\x7F\xFF", 5));
}

}  // namespace
}  // namespace kp
