// The result envelope: one text item with the payload's JSON, the payload as
// structuredContent, and the flag.

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "json/json_writer.h"
#include "tool_test_support.h"
#include "tools/mcp_bridge.h"

namespace tindrel {
namespace {

using testing_support::object;

TEST(ResponseTest, PayloadTextIsCompactSortedAndUnescaped) {
  struct Case {
    const char* label;
    JsonObject payload;
    const char* expectedText;
  };
  const std::vector<Case> cases = {
      {"empty payload", JsonObject{}, "{}"},
      {"error object in sorted order",
       object(R"({"recoverySuggestion":"r","error":"e","code":"c"})"),
       R"({"code":"c","error":"e","recoverySuggestion":"r"})"},
      {"nested keys sorted", object(R"({"b":{"z":1,"a":[{"y":true,"x":null}]},"a":2.5})"),
       R"({"a":2.5,"b":{"a":[{"x":null,"y":true}],"z":1}})"},
      {"slashes kept, non-ASCII raw, newline escaped",
       object(
           R"({"path":"/Users/ana/Audio/\u4F1A\u8B70.m4a","text":"ok \uD83C\uDF99\nnext \"q\" \\"})"),
       "{\"path\":\"/Users/ana/Audio/\u4F1A\u8B70.m4a\",\"text\":\"ok \U0001F399\\nnext \\\"q\\\" "
       "\\\\\"}"},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.label);
    for (const bool isError : {false, true}) {
      const ToolCallResult result = MCPBridge::response(testCase.payload, isError);
      EXPECT_EQ(result.text, testCase.expectedText);
      EXPECT_EQ(result.structuredContent, testCase.payload);
      EXPECT_EQ(result.isError, isError);
    }
  }
}

TEST(ResponseTest, WireFormHasOneTextItemAndAlwaysTheFlag) {
  const JsonObject payload = object(R"({"status":"ok"})");
  const ToolCallResult result = MCPBridge::response(payload, false);
  const char* expected =
      R"({"content":[{"text":"{\"status\":\"ok\"}","type":"text"}],"isError":false,)"
      R"("structuredContent":{"status":"ok"}})";
  EXPECT_EQ(writeJson(result.toJson()), expected);
  EXPECT_EQ(writeJson(ToolCallResult(result).toJson()), expected);  // the moving form
}

TEST(ResponseTest, NonFiniteDoubleCannotBeWritten) {
  for (const double bad :
       {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN()}) {
    JsonObject payload{{"progress", JsonObject{{"fraction", bad}}}};
    EXPECT_THROW(MCPBridge::response(std::move(payload), false), JsonWriteError);
  }
}

}  // namespace
}  // namespace tindrel
