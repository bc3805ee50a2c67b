#include "json/json_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "json/json_reader.h"
#include "json_printer.h"

namespace tindrel {
namespace {

struct WriteCase {
  JsonValue value;
  std::string expected;
};

TEST(JsonWriterTest, WritesTheOneCompactForm) {
  const std::vector<WriteCase> cases = {
      {nullptr, "null"},
      {true, "true"},
      {false, "false"},
      {0, "0"},
      {-17, "-17"},
      {std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      // Doubles: shortest round-trip text, always in a form that reads back
      // as a double.
      {5.0, "5.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.5, "1.5"},
      {0.1, "0.1"},
      {-2.5e-3, "-0.0025"},
      {1e21, "1e+21"},
      {1e-7, "1e-07"},
      {9007199254740993.0, "9007199254740992.0"},
      {9223372036854775808.0, "9223372036854775808.0"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      // Strings: "/" and non-ASCII as they are; quotation mark, backslash and
      // control characters escaped.
      {"", R"("")"},
      {"a/b</script>", R"("a/b</script>")"},
      {"caf\xC3\xA9 \xE2\x80\xA8 \xF0\x9F\x98\x80",
       "\"caf\xC3\xA9 \xE2\x80\xA8 \xF0\x9F\x98\x80\""},
      {"say \"hi\" \\ bye", R"("say \"hi\" \\ bye")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\0\x01\x1F\x7F", 4), "\"\\u0000\\u0001\\u001f\x7F\""},
      // Malformed UTF-8 cannot come from the reader; should it reach the
      // writer, each bad byte becomes U+FFFD so the output stays JSON.
      {"a\xFF"
       "b\xC3",
       "\"a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD\""},
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      // Byte data as a base64 data URL, "text/plain" when no type is known.
      {ByteData{"hello", "image/png"}, R"("data:image/png;base64,aGVsbG8=")"},
      {ByteData{"hi", ""}, R"("data:text/plain;base64,aGk=")"},
      {ByteData{"", ""}, R"("data:text/plain;base64,")"},
      {ByteData{std::string("\0\1\xFF", 3), "text/plain;charset=utf-8"},
       R"("data:text/plain;charset=utf-8;base64,AAH/")"},
      // Containers: no white space, keys ascending at every level.
      {JsonArray{}, "[]"},
      {JsonObject{}, "{}"},
      {JsonArray{1, "a", JsonArray{nullptr}}, R"([1,"a",[null]])"},
      {JsonObject{{"b", 1}, {"a", JsonObject{{"z", true}, {"y", JsonArray{}}}}, {"B", 2}},
       R"({"B":2,"a":{"y":[],"z":true},"b":1})"},
      {JsonObject{{"\xC3\xA9", 1}, {"z", 2}, {"a\"/", 3}}, "{\"a\\\"/\":3,\"z\":2,\"\xC3\xA9\":1}"},
  };
  for (const WriteCase& c : cases) {
    EXPECT_EQ(writeJson(c.value), c.expected) << c.expected;
  }
}

TEST(JsonWriterTest, RefusesNonFiniteDoubles) {
  const double infinity = std::numeric_limits<double>::infinity();
  const std::vector<JsonValue> cases = {
      infinity,
      -infinity,
      std::numeric_limits<double>::quiet_NaN(),
      JsonArray{1, JsonObject{{"deep", infinity}}},
      readJson("1e400"),
  };
  for (const JsonValue& value : cases) {
    EXPECT_THROW(writeJson(value), JsonWriteError);
  }
}

TEST(JsonWriterTest, AppendsToExistingText) {
  std::string out = "prefix:";
  appendJson(out, JsonObject{{"k", JsonArray{1, 2}}});
  EXPECT_EQ(out, R"(prefix:{"k":[1,2]})");
}

TEST(JsonWriterTest, DoublesReadBackAsTheSameDouble) {
  std::mt19937_64 random(20240611);
  for (int i = 0; i < 100'000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    const std::string text = writeJson(value);
    const JsonValue back = readJson(text);
    ASSERT_TRUE(back.isDouble()) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(*back.asDouble()), std::bit_cast<std::uint64_t>(value))
        << text;
  }
}

TEST(JsonWriterTest, ReadWriteReadKeepsTheValue) {
  const std::vector<std::string> documents = {
      R"({"id":"3F2504E0-4F89-11D3-9A0C-0305E82C3301","progress":0.25,"segments":[{"start":0.0,)"
      R"("end":1.5,"text":"Hello, world \u2014 \ud83d\ude00"},{"start":1.5,"end":-0.0,"text":""}],)"
      R"("count":-9223372036854775808,"big":12345678901234567890,"tiny":5e-324,"flags":[true,)"
      R"(false,null],"audio":"data:audio/wav;base64,UklGRg==","note":"data:nope","a":{"a":{}}})",
      R"([" \u0000\u001f\"\\\/ ","data:text/plain,%41%42",1e-300,1.0e2,[[[[]]]]])",
  };
  for (const std::string& document : documents) {
    const JsonValue first = readJson(document);
    const std::string written = writeJson(first);
    EXPECT_EQ(readJson(written), first) << written;
    EXPECT_EQ(writeJson(readJson(written)), written);
  }
}

}  // namespace
}  // namespace tindrel
