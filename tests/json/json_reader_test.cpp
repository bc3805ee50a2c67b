#include "json/json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "json_printer.h"

namespace tindrel {
namespace {

struct ReadCase {
  std::string text;
  JsonValue expected;
};

TEST(JsonReaderTest, ReadsEachKind) {
  const std::vector<ReadCase> cases = {
      {"null", nullptr},
      {"true", true},
      {"false", false},
      {"0", 0},
      {"-0", 0},
      {"42", 42},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      // Beyond int64 (Boost reports the first as uint64, the others as double).
      {"9223372036854775808", 9223372036854775808.0},
      {"18446744073709551616", 18446744073709551616.0},
      {"-9223372036854775809", -9223372036854775809.0},
      {"1.5", 1.5},
      {"5.0", 5.0},
      {"1e2", 100.0},
      {"-2.5E-3", -0.0025},
      // Numbers that Boost.JSON 1.81 on its own reads one unit in the last
      // place off.
      {"1.3927926388013963e-143", 1.3927926388013963e-143},
      {"5.409760742964738e+124", 5.409760742964738e+124},
      {"-2.128409656321987e-239", -2.128409656321987e-239},
      {R"("")", ""},
      {R"("plain text")", "plain text"},
      {R"("a\"b\\c\/d\n\u00e9\ud83d\ude00")", "a\"b\\c/d\n\xC3\xA9\xF0\x9F\x98\x80"},
      {"\"caf\xC3\xA9 \xF0\x9F\x98\x80\"", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {"[]", JsonArray{}},
      {"{}", JsonObject{}},
      {R"([1,"two",[3.5,null],{"k":false}])",
       JsonArray{1, "two", JsonArray{3.5, nullptr}, JsonObject{{"k", false}}}},
      {R"({"b":{"d":1,"c":[]},"a":"x"})",
       JsonObject{{"a", "x"}, {"b", JsonObject{{"c", JsonArray{}}, {"d", 1}}}}},
      // A repeated key keeps its last value.
      {R"({"a":1,"b":2,"a":3})", JsonObject{{"a", 3}, {"b", 2}}},
      // Keys are never byte data.
      {R"({"data:,x":"y"})", JsonObject{{"data:,x", "y"}}},
      // White space around the value, a trailing carriage return included.
      {" \t\n[ 1 , 2 ]\r\n", JsonArray{1, 2}},
      {"7\r", 7},
  };
  for (const ReadCase& c : cases) {
    EXPECT_EQ(readJson(c.text), c.expected) << c.text;
  }
}

TEST(JsonReaderTest, KeepsTheSignOfNegativeZeroDouble) {
  const JsonValue value = readJson("-0.0");
  ASSERT_TRUE(value.isDouble());
  EXPECT_EQ(*value.asDouble(), 0.0);
  EXPECT_TRUE(std::signbit(*value.asDouble()));
}

TEST(JsonReaderTest, ReadsNumbersBeyondTheDoubleRangeAsInfinity) {
  const JsonValue positive = readJson("1e400");
  ASSERT_TRUE(positive.isDouble());
  EXPECT_EQ(*positive.asDouble(), std::numeric_limits<double>::infinity());
  const JsonValue negative = readJson("-1e400");
  ASSERT_TRUE(negative.isDouble());
  EXPECT_EQ(*negative.asDouble(), -std::numeric_limits<double>::infinity());
}

struct DataUrlCase {
  std::string text;  // the JSON string's content
  JsonValue expected;
};

TEST(JsonReaderTest, ReadsDataUrlsAsBytesAndEverythingElseAsStrings) {
  const std::vector<DataUrlCase> cases = {
      {"data:text/plain;base64,aGVsbG8=", ByteData{"hello", "text/plain"}},
      {"data:application/octet-stream;base64,AAH/",
       ByteData{std::string("\0\1\xFF", 3), "application/octet-stream"}},
      {"data:text/plain;charset=utf-8;base64,aGk=", ByteData{"hi", "text/plain;charset=utf-8"}},
      {"data:;base64,aGk=", ByteData{"hi", ""}},
      {"data:text/plain;BASE64,aGk=", ByteData{"hi", "text/plain"}},
      {"data:;charset=utf-8,x", ByteData{"x", ";charset=utf-8"}},
      {"data:,", ByteData{"", ""}},
      {"data:;base64,", ByteData{"", ""}},
      {"data:,a%20b%2Cc", ByteData{"a b,c", ""}},
      {"data:text/html,%3Cp%3Ehi%3C/p%3E", ByteData{"<p>hi</p>", "text/html"}},
      // Not data URLs: these stay strings, byte for byte.
      {"data:", "data:"},
      {"data:text/plain", "data:text/plain"},
      {"data:text/plain;base64,aGk", "data:text/plain;base64,aGk"},    // length
      {"data:text/plain;base64,aGl=", "data:text/plain;base64,aGl="},  // unused bits
      {"data:text/plain;base64,a*k=", "data:text/plain;base64,a*k="},  // alphabet
      {"data:text/plain;base64,aG=k", "data:text/plain;base64,aG=k"},  // inner padding
      {"data:text/plain;base64,aGk= ", "data:text/plain;base64,aGk= "},
      {"data:,100%", "data:,100%"},
      {"data:,%zz", "data:,%zz"},
      {"data:,two words", "data:,two words"},
      {"data: the numbers, please", "data: the numbers, please"},
      {"data:text,x", "data:text,x"},
      {"data:text/plain;charset,x", "data:text/plain;charset,x"},
      {"Data:,x", "Data:,x"},
      {" data:,x", " data:,x"},
  };
  for (const DataUrlCase& c : cases) {
    EXPECT_EQ(readJson("\"" + c.text + "\""), c.expected) << c.text;
  }
  EXPECT_EQ(readJson(R"(["data:,a",{"k":"data:;base64,aGk="}])"),
            (JsonValue{JsonArray{ByteData{"a", ""}, JsonObject{{"k", ByteData{"hi", ""}}}}}));
}

TEST(JsonReaderTest, RefusesInvalidJson) {
  const std::vector<std::string> cases = {
      "",
      "   ",
      "nul",
      "True",
      "[1,]",
      "{\"a\":1,}",
      "{'a':1}",
      "{\"a\" 1}",
      "{1:2}",
      "[1 2]",
      "01",
      "1.",
      ".5",
      "+1",
      "NaN",
      "Infinity",
      "\"unterminated",
      "\"tab\tinside\"",
      "\"bad \\x escape\"",
      "// comment\n1",
      "/* comment */ 1",
      // Anything but white space after the value.
      "1 2",
      "[1] x",
      "{} {}",
      "null\v",
      std::string("1\0", 2),
      // Invalid UTF-8: stray continuation, truncated, overlong, encoded
      // surrogate, beyond U+10FFFF, bytes that never occur.
      "\"\x80\"",
      "\"\xC3\"",
      "\"\xE2\x82\"",
      "\"\xC0\xAF\"",
      "\"\xE0\x80\xAF\"",
      "\"\xED\xA0\x80\"",
      "\"\xF4\x90\x80\x80\"",
      "\"\xFF\"",
      "{\"\xFE\":1}",
      // Escaped lone surrogates.
      R"("\ud800")",
      R"("\ud800x")",
      R"("\udbff\u0041")",
      R"("\udc00")",
      R"("x\udfff")",
      R"({"\ud800":1})",
  };
  for (const std::string& text : cases) {
    EXPECT_THROW(readJson(text), JsonReadError) << text;
  }
}

std::string nestedArrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST(JsonReaderTest, LimitsNestingDepth) {
  const JsonValue deepest = readJson(nestedArrays(kMaxJsonDepth));
  std::size_t depth = 1;
  for (const JsonValue* value = &deepest; !value->asArray()->empty(); ++depth) {
    value = &value->asArray()->front();
    ASSERT_TRUE(value->isArray());
  }
  EXPECT_EQ(depth, kMaxJsonDepth);

  EXPECT_THROW(readJson(nestedArrays(kMaxJsonDepth + 1)), JsonReadError);
  EXPECT_THROW(readJson(std::string(kMaxJsonDepth + 1, '[')), JsonReadError);
  std::string mixed;
  for (std::size_t i = 0; i <= kMaxJsonDepth; ++i) mixed += i % 2 == 0 ? "{\"k\":" : "[";
  EXPECT_THROW(readJson(mixed), JsonReadError);
  // Far deeper than any stack would allow if reading recursed.
  EXPECT_THROW(readJson(std::string(100'000, '[')), JsonReadError);
  EXPECT_THROW(readJson(nestedArrays(100'000)), JsonReadError);
}

TEST(JsonReaderTest, KeepsDataUrlsAsStringsUntilConverted) {
  const std::string text =
      R"({"id":"data:,x","params":{"data:,k":["data:;base64,aGk=","data:,100%",7,)"
      R"({"deep":"data:text/plain,a%20b"}],"plain":"text"}})";
  JsonValue value = readJson(text, DataUrls::asStrings);
  const JsonValue paramsAsStrings =
      JsonObject{{"data:,k", JsonArray{"data:;base64,aGk=", "data:,100%", 7,
                                       JsonObject{{"deep", "data:text/plain,a%20b"}}}},
                 {"plain", "text"}};
  EXPECT_EQ(value, (JsonValue{JsonObject{{"id", "data:,x"}, {"params", paramsAsStrings}}}));

  // Converting a subtree gives what reading with the rule gives for it; the
  // rest of the value and every key stay as they were.
  JsonValue& params = value.asObject()->find("params")->second;
  convertDataUrls(params);
  EXPECT_EQ(params, *readJson(text).find("params"));
  EXPECT_EQ(params.find("data:,k")->asArray()->front(), JsonValue(ByteData{"hi", ""}));
  EXPECT_EQ(*value.find("id"), JsonValue("data:,x"));

  // As deep as the reader allows, and one level more.
  JsonValue deep = readJson(nestedArrays(kMaxJsonDepth), DataUrls::asStrings);
  JsonValue* innermost = &deep;
  while (!innermost->asArray()->empty()) innermost = &innermost->asArray()->front();
  *innermost = JsonArray{"data:,x"};
  convertDataUrls(deep);
  EXPECT_EQ(innermost->asArray()->front(), JsonValue(ByteData{"x", ""}));
}

}  // namespace
}  // namespace tindrel
