// The session core as a client sees it: every message's exact answer.
#include "mcp_server/mcp_server.h"

#include <limits>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json/json_writer.h"
#include "mcp_server/fake_transport.h"
#include "mcp_server/protocol_error.h"
#include "mcp_server/protocol_lines.h"

namespace tindrel {
namespace {

using testing::errorLine;
using testing::FakeTransport;
using testing::withRandomIdsMarked;

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-03-26"}})";

std::string resultLine(const std::string& id, const std::string& result) {
  return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":)" + result + "}";
}

void registerTestMethods(MCPServer& server) {
  server.registerMethod("echo", [](const JsonValue* params, std::stop_token) {
    if (params == nullptr) return JsonValue(JsonObject{{"absent", true}});
    return JsonValue(JsonObject{{"params", *params}});
  });
  server.registerMethod("fail/protocol", [](const JsonValue*, std::stop_token) -> JsonValue {
    throw ProtocolError(ProtocolError::Kind::invalidParams, "Unknown Tindrel tool");
  });
  server.registerMethod("fail/internal", [](const JsonValue*, std::stop_token) -> JsonValue {
    throw std::runtime_error("tools/call params lack \"name\"");
  });
  server.registerMethod("fail/cancelled", [](const JsonValue*, std::stop_token) -> JsonValue {
    throw RequestCancelled();
  });
  server.registerMethod("fail/other",
                        [](const JsonValue*, std::stop_token) -> JsonValue { throw 42; });
  server.registerMethod("infinite", [](const JsonValue*, std::stop_token) {
    return JsonValue(std::numeric_limits<double>::infinity());
  });
}

ServerConfiguration testConfiguration() {
  return {"Tindrel", "1.0.0", JsonObject{{"tools", JsonObject{{"listChanged", false}}}}};
}

// Runs one session over `lines` to the end of input and returns every line
// written, after every request has finished.
std::vector<std::string> runSession(const std::vector<std::string>& lines) {
  FakeTransport transport;
  {
    MCPServer server(testConfiguration());
    registerTestMethods(server);
    for (const auto& line : lines) transport.push(line);
    transport.finish();
    server.start(transport);
    server.waitUntilCompleted();
  }  // the destructor waits for requests still running
  std::vector<std::string> sent = transport.sent();
  for (auto& line : sent) line = withRandomIdsMarked(line);
  return sent;
}

struct SessionCase {
  const char* name;
  bool initialized;  // initialize first (its answer is not compared)
  std::string input;
  std::vector<std::string> expected;
};

TEST(MCPServer, AnswersEachMessageExactly) {
  const std::string notInitialized = "Server is not initialized";
  const std::string parseError = "Parse error: Invalid JSON";
  const std::string badFormat = "Invalid message format";
  const std::vector<SessionCase> cases = {
      // The gate.
      {"registered method before initialize",
       false,
       R"({"jsonrpc":"2.0","id":1,"method":"echo"})",
       {}},
      {"unknown method before initialize",
       false,
       R"({"jsonrpc":"2.0","id":1,"method":"nope"})",
       {}},
      {"ping before initialize",
       false,
       R"({"jsonrpc":"2.0","id":1,"method":"ping"})",
       {resultLine("1", "{}")}},
      {"discovery probe before initialize",
       false,
       R"({"jsonrpc":"2.0","id":"probe","method":"server/discover"})",
       {errorLine(R"("probe")", -32601, "Method not found", "Unknown method: server/discover")}},
      {"initialized notification before initialize",
       false,
       R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
       {}},
      {"cancellation before initialize",
       false,
       R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})",
       {errorLine(R"("<random>")", -32600, "Invalid Request", notInitialized)}},
      {"registered method in a batch before initialize",
       false,
       R"([{"jsonrpc":"2.0","id":"a","method":"echo"}])",
       {"[" + errorLine(R"("a")", -32600, "Invalid Request", notInitialized) + "]"}},
      {"notification in a batch before initialize",
       false,
       R"([{"jsonrpc":"2.0","method":"notifications/cancelled"}])",
       {}},
      // Requests after initialize.
      {"registered method without params",
       true,
       R"({"jsonrpc":"2.0","id":1,"method":"echo"})",
       {resultLine("1", R"({"absent":true})")}},
      {"params passed as sent",
       true,
       R"({"jsonrpc":"2.0","id":"s","method":"echo","params":{"z":[1,2.5,null],"a":"\/x"}})",
       {resultLine(R"("s")", R"({"params":{"a":"/x","z":[1,2.5,null]}})")}},
      {"null params passed as null",
       true,
       R"({"jsonrpc":"2.0","id":1,"method":"echo","params":null})",
       {resultLine("1", R"({"params":null})")}},
      {"unknown method",
       true,
       R"({"jsonrpc":"2.0","id":2,"method":"resources/list"})",
       {errorLine("2", -32601, "Method not found", "Unknown method: resources/list")}},
      {"empty method name",
       true,
       R"({"jsonrpc":"2.0","id":2,"method":""})",
       {errorLine("2", -32601, "Method not found", "Unknown method: ")}},
      {"protocol error from a handler",
       true,
       R"({"jsonrpc":"2.0","id":3,"method":"fail/protocol"})",
       {errorLine("3", -32602, "Invalid params", "Unknown Tindrel tool")}},
      {"other failure from a handler",
       true,
       R"({"jsonrpc":"2.0","id":3,"method":"fail/internal"})",
       {errorLine("3", -32603, "Internal error", "tools/call params lack \\\"name\\\"")}},
      {"failure that is not an exception",
       true,
       R"({"jsonrpc":"2.0","id":3,"method":"fail/other"})",
       {errorLine("3", -32603, "Internal error", "Unknown failure")}},
      {"handler ended by cancellation",
       true,
       R"({"jsonrpc":"2.0","id":3,"method":"fail/cancelled"})",
       {}},
      {"result that cannot be written",
       true,
       R"({"jsonrpc":"2.0","id":4,"method":"infinite"})",
       {R"({"error":{"code":-32603,"data":{"detail":")"}},
      {"second initialize",
       true,
       R"({"jsonrpc":"2.0","id":5,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})",
       {errorLine("5", -32600, "Invalid Request", "Server is already initialized")}},
      // The envelope's strings are plain strings, even when they look like
      // data URLs; params reach the handler as sent.
      {"data URL id echoed as a string",
       true,
       R"({"jsonrpc":"2.0","id":"data:,x","method":"ping"})",
       {resultLine(R"("data:,x")", "{}")}},
      {"data URL id before initialize",
       false,
       R"({"jsonrpc":"2.0","id":"data:;base64,aGk=","method":"ping"})",
       {resultLine(R"("data:;base64,aGk=")", "{}")}},
      {"data URL method",
       true,
       R"({"jsonrpc":"2.0","id":1,"method":"data:,echo"})",
       {errorLine("1", -32601, "Method not found", "Unknown method: data:,echo")}},
      {"data URL strings in params",
       true,
       R"({"jsonrpc":"2.0","id":"data:,1","method":"echo","params":{"k":"data:,v"}})",
       {resultLine(R"("data:,1")", R"({"params":{"k":"data:,v"}})")}},
      {"data URL id in a batch",
       true,
       R"([{"jsonrpc":"2.0","id":"data:,b","method":"ping"}])",
       {"[" + resultLine(R"("data:,b")", "{}") + "]"}},
      {"data URL id of a malformed message",
       true,
       R"({"jsonrpc":"1.0","id":"data:,m","method":"ping"})",
       {errorLine(R"("data:,m")", -32700, parseError, badFormat)}},
      {"large integer id echoed",
       true,
       R"({"jsonrpc":"2.0","id":9223372036854775807,"method":"ping"})",
       {resultLine("9223372036854775807", "{}")}},
      // Notifications after initialize.
      {"unknown notification", true, R"({"jsonrpc":"2.0","method":"notifications/progress"})", {}},
      {"cancellation of nothing",
       true,
       R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"x"}})",
       {}},
      {"id of another type makes a notification",
       true,
       R"({"jsonrpc":"2.0","id":1.5,"method":"echo"})",
       {}},
      // Responses from the client are dropped.
      {"response with a result", true, R"({"jsonrpc":"2.0","id":1,"result":{}})", {}},
      {"response with a data URL id", true, R"({"jsonrpc":"2.0","id":"data:,r","result":{}})", {}},
      {"response with an error",
       true,
       R"({"jsonrpc":"2.0","id":"r","error":{"code":-1,"message":"no"}})",
       {}},
      // Malformed messages.
      {"not JSON", true, "{", {errorLine(R"("<random>")", -32700, parseError, badFormat)}},
      {"trailing garbage",
       true,
       R"({"jsonrpc":"2.0","id":1,"method":"ping"} x)",
       {errorLine(R"("<random>")", -32700, parseError, badFormat)}},
      {"nesting beyond the reader's limit",
       true,
       std::string(100000, '[') + std::string(100000, ']'),
       {errorLine(R"("<random>")", -32700, parseError, badFormat)}},
      {"a JSON string",
       true,
       R"("ping")",
       {errorLine(R"("<random>")", -32700, parseError, badFormat)}},
      {"no jsonrpc member, own integer id",
       true,
       R"({"id":7,"method":"ping"})",
       {errorLine("7", -32700, parseError, badFormat)}},
      {"wrong jsonrpc version, own string id",
       true,
       R"({"jsonrpc":"1.0","id":"q","method":"ping"})",
       {errorLine(R"("q")", -32700, parseError, badFormat)}},
      {"method not a string",
       true,
       R"({"jsonrpc":"2.0","id":8,"method":5})",
       {errorLine("8", -32700, parseError, badFormat)}},
      {"id of another type and no method",
       true,
       R"({"jsonrpc":"2.0","id":null})",
       {errorLine(R"("<random>")", -32700, parseError, badFormat)}},
      // Batches.
      {"empty batch",
       true,
       "[]",
       {errorLine(R"("<random>")", -32600, "Invalid Request", "Batch array must not be empty")}},
      {"responses held back in element order",
       true,
       R"([{"jsonrpc":"2.0","id":1,"method":"echo","params":1},)"
       R"({"jsonrpc":"2.0","method":"notifications/initialized"},)"
       R"({"jsonrpc":"2.0","id":2,"method":"fail/protocol"},)"
       R"({"jsonrpc":"2.0","id":3,"method":"fail/cancelled"},)"
       R"({"jsonrpc":"2.0","id":4,"method":"nope"},)"
       R"({"jsonrpc":"2.0","id":5,"method":"ping"}])",
       {"[" + resultLine("1", R"({"params":1})") + "," +
        errorLine("2", -32602, "Invalid params", "Unknown Tindrel tool") + "," +
        errorLine("4", -32601, "Method not found", "Unknown method: nope") + "," +
        resultLine("5", "{}") + "]"}},
      {"batch of notifications only",
       true,
       R"([{"jsonrpc":"2.0","method":"notifications/initialized"},{"jsonrpc":"2.0","method":"x"}])",
       {}},
      {"batch item with an empty method",
       true,
       R"([{"jsonrpc":"2.0","id":9,"method":""}])",
       {"[" + errorLine("9", -32600, "Invalid Request", "Invalid batch item format") + "]"}},
      {"batch element that is not a message",
       true,
       R"([{"jsonrpc":"2.0","id":1,"method":"ping"},7])",
       {errorLine(R"("<random>")", -32700, parseError, badFormat)}},
      {"batch element with an id that is not a request",
       true,
       R"([{"jsonrpc":"2.0","id":1.5,"method":"ping"}])",
       {errorLine(R"("<random>")", -32700, parseError, badFormat)}},
      {"batch element that is a response",
       true,
       R"([{"jsonrpc":"2.0","id":1,"result":{}}])",
       {errorLine(R"("<random>")", -32700, parseError, badFormat)}},
      {"batch with a result that cannot be written",
       true,
       R"([{"jsonrpc":"2.0","id":1,"method":"infinite"},{"jsonrpc":"2.0","id":2,"method":"ping"}])",
       {R"([{"error":{"code":-32603,"data":{"detail":")"}},
  };

  for (const SessionCase& testCase : cases) {
    std::vector<std::string> lines;
    if (testCase.initialized) lines.push_back(kInitialize);
    lines.push_back(testCase.input);
    std::vector<std::string> sent = runSession(lines);
    if (testCase.initialized && !sent.empty()) sent.erase(sent.begin());
    ASSERT_EQ(sent.size(), testCase.expected.size()) << testCase.name;
    for (std::size_t i = 0; i < sent.size(); ++i) {
      // An expected text ending in `detail":"` fixes only the beginning.
      const std::string& expected = testCase.expected[i];
      if (expected.ends_with("\"detail\":\"")) {
        EXPECT_TRUE(sent[i].starts_with(expected)) << testCase.name << ": " << sent[i];
      } else {
        EXPECT_EQ(sent[i], expected) << testCase.name;
      }
    }
  }
}

TEST(MCPServer, NegotiatesTheProtocolVersion) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"protocolVersion":"2025-11-25"})", "2025-11-25"},
      {R"({"protocolVersion":"2025-06-18"})", "2025-06-18"},
      {R"({"protocolVersion":"2025-03-26"})", "2025-03-26"},
      {R"({"protocolVersion":"2024-11-05"})", "2024-11-05"},
      {R"({"protocolVersion":"2026-07-28"})", "2025-11-25"},
      {R"({"protocolVersion":"2024-10-07"})", "2025-11-25"},
      {R"({"protocolVersion":" 2025-06-18"})", "2025-11-25"},
      {R"({"protocolVersion":"2025-06-18\r"})", "2025-11-25"},
      {R"({})", "2025-11-25"},
      // Read leniently: what is missing or null takes its default.
      {R"({"protocolVersion":null,"capabilities":null,"clientInfo":null})", "2025-11-25"},
      {R"({"protocolVersion":"2024-11-05","capabilities":{"roots":{}},"clientInfo":{"name":"c","version":"2"}})",
       "2024-11-05"},
  };
  for (const auto& [params, version] : cases) {
    const auto sent =
        runSession({R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":)" + params + "}",
                    R"({"jsonrpc":"2.0","id":2,"method":"echo"})"});
    ASSERT_EQ(sent.size(), 2u) << params;
    EXPECT_EQ(
        sent[0],
        resultLine("1", R"({"capabilities":{"tools":{"listChanged":false}},)"
                        R"("protocolVersion":")" +
                            version + R"(","serverInfo":{"name":"Tindrel","version":"1.0.0"}})"))
        << params;
    // The session is open.
    EXPECT_EQ(sent[1], resultLine("2", R"({"absent":true})")) << params;
  }
}

TEST(MCPServer, InitializeWithoutUsableParamsLeavesTheSessionClosed) {
  // No params, or params that do not fit: a member of the wrong type is a
  // reading failure, not a missing member.
  for (const std::string params :
       {"", R"(,"params":null)", R"(,"params":[])", R"(,"params":"x")",
        R"(,"params":{"protocolVersion":20250618})", R"(,"params":{"capabilities":[]})",
        R"(,"params":{"clientInfo":"x"})", R"(,"params":{"clientInfo":{"name":"c"}})",
        R"(,"params":{"clientInfo":{"name":1,"version":"2"}})"}) {
    const auto sent = runSession({R"({"jsonrpc":"2.0","id":1,"method":"initialize")" + params + "}",
                                  R"({"jsonrpc":"2.0","id":2,"method":"echo"})",
                                  R"({"jsonrpc":"2.0","id":3,"method":"ping"})"});
    ASSERT_EQ(sent.size(), 2u) << params;
    EXPECT_TRUE(sent[0].starts_with(R"({"error":{"code":-32603,"data":{"detail":"Cannot read )"))
        << sent[0];
    EXPECT_TRUE(sent[0].ends_with(R"("},"id":1,"jsonrpc":"2.0"})")) << sent[0];
    EXPECT_EQ(sent[1], resultLine("3", "{}")) << params;
  }
}

TEST(MCPServer, SecondInitializeKeepsTheFirstNegotiation) {
  FakeTransport transport;
  MCPServer server(testConfiguration());
  server.start(transport);
  transport.push(
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})");
  transport.push(R"({"jsonrpc":"2.0","id":2,"method":"initialize","params":{}})");
  const auto sent = transport.waitForSent(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_NE(sent[0].find(R"("protocolVersion":"2024-11-05")"), std::string::npos);
  EXPECT_EQ(sent[1], errorLine("2", -32600, "Invalid Request", "Server is already initialized"));
  transport.finish();
  server.waitUntilCompleted();
}

TEST(MCPServer, AFailedWriteIsFollowedByOneErrorAttemptForTheSameRequest) {
  FakeTransport transport;
  MCPServer server(testConfiguration());
  registerTestMethods(server);
  server.start(transport);
  transport.push(kInitialize);
  ASSERT_EQ(transport.waitForSent(1).size(), 1u);
  transport.failNextSends(1);
  transport.push(R"({"jsonrpc":"2.0","id":"lost","method":"echo"})");
  auto sent = transport.waitForSent(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1], errorLine(R"("lost")", -32603, "Internal error", "write failed"));
  // When the error cannot be written either, nothing more is tried and the
  // session goes on.
  transport.failNextSends(2);
  transport.push(R"({"jsonrpc":"2.0","id":"gone","method":"ping"})");
  transport.push(R"({"jsonrpc":"2.0","id":"after","method":"ping"})");
  sent = transport.waitForSent(3);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2], resultLine(R"("after")", "{}"));
  transport.finish();
  server.waitUntilCompleted();
}

TEST(MCPServer, StartFailsWhenTheTransportCannotConnect) {
  FakeTransport transport;
  transport.failConnect = true;
  MCPServer server(testConfiguration());
  EXPECT_THROW(server.start(transport), TransportError);
}

}  // namespace
}  // namespace tindrel
