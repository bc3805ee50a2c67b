// Whole MCP sessions against the built binary, byte for byte.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mcp_server/protocol_lines.h"
#include "process/process_harness.h"

namespace tindrel::testing {
namespace {

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
    R"("capabilities":{},"clientInfo":{"name":"test","version":"1"}}})";
const std::string kInitializeResult =
    R"({"id":0,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":false}},)"
    R"("protocolVersion":"2025-06-18","serverInfo":{"name":"Tindrel","version":"1.0.0"}}})";

struct Exchange {
  std::string input;  // written with a line feed
  std::vector<std::string> expected;
};

// Messages the core answers itself are answered before the next line is
// read, so a whole session has one exact transcript. Ending each exchange
// with nothing unexpected is proven by the next exchange's first line.
TEST(SessionProcess, TranscriptOfAWholeSession) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::vector<Exchange> session = {
      // Before initialize.
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})", {}},
      {R"({"jsonrpc":"2.0","id":1,"method":"resources/list"})", {}},
      {R"({"jsonrpc":"2.0","id":"p","method":"ping"})",
       {R"({"id":"p","jsonrpc":"2.0","result":{}})"}},
      // An id that looks like a data URL is still a string id.
      {R"({"jsonrpc":"2.0","id":"data:,p","method":"ping"})",
       {R"({"id":"data:,p","jsonrpc":"2.0","result":{}})"}},
      {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", {}},
      {R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})",
       {errorLine(R"("<random>")", -32600, "Invalid Request", "Server is not initialized")}},
      {R"({"jsonrpc":"2.0","method":"notifications/progress"})",
       {errorLine(R"("<random>")", -32600, "Invalid Request", "Server is not initialized")}},
      {R"([{"jsonrpc":"2.0","id":1,"method":"tools/list"},{"jsonrpc":"2.0","id":2,"method":"ping"}])",
       {"[" + errorLine("1", -32600, "Invalid Request", "Server is not initialized") +
        R"(,{"id":2,"jsonrpc":"2.0","result":{}}])"}},
      {R"({"jsonrpc":"2.0","id":2,"method":"initialize"})",
       {errorLine("2", -32603, "Internal error",
                  "Cannot read initialize parameters: params are missing")}},
      {R"({"jsonrpc":"2.0","id":3,"method":"initialize","params":null})",
       {errorLine("3", -32603, "Internal error",
                  "Cannot read initialize parameters: params are missing")}},
      {R"({"jsonrpc":"2.0","id":"v","method":"initialize","params":{"protocolVersion":5}})",
       {errorLine(R"("v")", -32603, "Internal error",
                  "Cannot read initialize parameters: protocolVersion must be a string")}},
      {R"({"jsonrpc":"2.0","id":4,"method":"tools/list"})", {}},
      // Initialize, once.
      {kInitialize, {kInitializeResult}},
      {R"({"jsonrpc":"2.0","id":5,"method":"initialize","params":{}})",
       {errorLine("5", -32600, "Invalid Request", "Server is already initialized")}},
      {R"({"jsonrpc":"2.0","id":6,"method":"resources/list"})",
       {errorLine("6", -32601, "Method not found", "Unknown method: resources/list")}},
      {R"({"jsonrpc":"2.0","id":-7,"method":"ping","params":{"_meta":{}}})",
       {R"({"id":-7,"jsonrpc":"2.0","result":{}})"}},
      // Malformed messages.
      {R"({"id":7,"method":"ping"})",
       {errorLine("7", -32700, "Parse error: Invalid JSON", "Invalid message format")}},
      {R"({"jsonrpc":"1.0","id":"x","method":"ping"})",
       {errorLine(R"("x")", -32700, "Parse error: Invalid JSON", "Invalid message format")}},
      {"{",
       {errorLine(R"("<random>")", -32700, "Parse error: Invalid JSON", "Invalid message format")}},
      {"\xff",
       {errorLine(R"("<random>")", -32700, "Parse error: Invalid JSON", "Invalid message format")}},
      {deep,
       {errorLine(R"("<random>")", -32700, "Parse error: Invalid JSON", "Invalid message format")}},
      {R"({"jsonrpc":"2.0","id":1.5,"result":{}})",
       {errorLine(R"("<random>")", -32700, "Parse error: Invalid JSON", "Invalid message format")}},
      // Ignored: a response, an id of another type (a notification), an
      // unknown notification, an empty line.
      {R"({"jsonrpc":"2.0","id":1,"result":{}})", {}},
      {R"({"jsonrpc":"2.0","id":true,"method":"ping"})", {}},
      {R"({"jsonrpc":"2.0","method":"notifications/progress"})", {}},
      {"", {}},
      // Batches.
      {"[]",
       {errorLine(R"("<random>")", -32600, "Invalid Request", "Batch array must not be empty")}},
      {R"([{"jsonrpc":"2.0","id":1,"method":"ping"},{"jsonrpc":"2.0","method":"notifications/initialized"},{"jsonrpc":"2.0","id":2,"method":"prompts/list"}])",
       {R"([{"id":1,"jsonrpc":"2.0","result":{}},)" +
        errorLine("2", -32601, "Method not found", "Unknown method: prompts/list") + "]"}},
      {R"([{"jsonrpc":"2.0","method":"notifications/initialized"},{"jsonrpc":"2.0","method":"x"}])",
       {}},
      {R"([{"jsonrpc":"2.0","id":1,"method":"ping"},5])",
       {errorLine(R"("<random>")", -32700, "Parse error: Invalid JSON", "Invalid message format")}},
      {R"([{"jsonrpc":"2.0","id":1,"method":"ping"},{"jsonrpc":"2.0","id":null,"method":"ping"}])",
       {errorLine(R"("<random>")", -32700, "Parse error: Invalid JSON", "Invalid message format")}},
      {R"([{"jsonrpc":"2.0","id":9,"method":""}])",
       {"[" + errorLine("9", -32600, "Invalid Request", "Invalid batch item format") + "]"}},
      // A carriage return before the line feed is white space to JSON.
      {"{\"jsonrpc\":\"2.0\",\"id\":\"crlf\",\"method\":\"ping\"}\r",
       {R"({"id":"crlf","jsonrpc":"2.0","result":{}})"}},
  };

  ServerProcess server;
  for (const Exchange& exchange : session) {
    ASSERT_TRUE(server.writeLine(exchange.input)) << exchange.input.substr(0, 200);
    for (const std::string& expected : exchange.expected) {
      const auto line = server.readLine();
      ASSERT_TRUE(line.has_value()) << "no answer to " << exchange.input.substr(0, 200);
      EXPECT_EQ(withRandomIdsMarked(*line), expected) << "input: " << exchange.input.substr(0, 200);
    }
    if (exchange.expected.empty()) {
      // Nothing was written for this input: the next answer is this ping's.
      ASSERT_TRUE(server.writeLine(R"({"jsonrpc":"2.0","id":"next","method":"ping"})"));
      EXPECT_EQ(server.readLine(), R"({"id":"next","jsonrpc":"2.0","result":{}})")
          << "input: " << exchange.input.substr(0, 200);
    }
  }
  server.closeStandardInput();
  EXPECT_EQ(server.readOutputToEnd(), "");
  EXPECT_EQ(server.waitForExit(), 0);
  EXPECT_EQ(server.readErrorToEnd(), "");
}

TEST(SessionProcess, DiscoveryProbeIsRefusedAtOnceThenInitializeWorks) {
  ServerProcess server;
  ASSERT_TRUE(
      server.writeLine(R"({"jsonrpc":"2.0","id":1,"method":"server/discover","params":{}})"));
  EXPECT_EQ(server.readLine(),
            errorLine("1", -32601, "Method not found", "Unknown method: server/discover"));
  ASSERT_TRUE(server.writeLine(kInitialize));
  EXPECT_EQ(server.readLine(), kInitializeResult);
  ASSERT_TRUE(server.writeLine(R"({"jsonrpc":"2.0","id":"d","method":"server/discover"})"));
  EXPECT_EQ(server.readLine(),
            errorLine(R"("d")", -32601, "Method not found", "Unknown method: server/discover"));
}

TEST(SessionProcess, LinesSplitAcrossWritesAndSeveralInOneWrite) {
  ServerProcess server;
  ASSERT_TRUE(server.writeRaw("\n\n{\"jsonrpc\":\"2.0\",\"id\":1,"));
  ASSERT_TRUE(server.writeRaw(
      "\"method\":\"ping\"}\n{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"ping\"}\n"));
  EXPECT_EQ(server.readLine(), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(server.readLine(), R"({"id":2,"jsonrpc":"2.0","result":{}})");
}

TEST(SessionProcess, LastLineWithoutLineFeedIsDroppedAtEndOfInput) {
  ServerProcess server;
  ASSERT_TRUE(server.writeRaw(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"));
  server.closeStandardInput();
  EXPECT_EQ(server.readOutputToEnd(), "");
  EXPECT_EQ(server.waitForExit(), 0);
  EXPECT_EQ(server.readErrorToEnd(), "");
}

TEST(SessionProcess, EndOfInputAtStartWritesNothingAndExitsZero) {
  ServerProcess server;
  server.closeStandardInput();
  EXPECT_EQ(server.readOutputToEnd(), "");
  EXPECT_EQ(server.waitForExit(), 0);
  EXPECT_EQ(server.readErrorToEnd(), "");
}

TEST(SessionProcess, OutputClosedByTheClientCostsOnlyTheAnswers) {
  ServerProcess server;
  ASSERT_TRUE(server.writeLine(kInitialize));
  ASSERT_EQ(server.readLine(), kInitializeResult);
  server.closeStandardOutput();
  // Every answer now fails to be written; the server goes on reading.
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(server.writeLine(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"));
  }
  server.closeStandardInput();
  EXPECT_EQ(server.waitForExit(), 0);
  EXPECT_EQ(server.readErrorToEnd(), "");
}

// A loopback listener that never accepts: a request to it waits until the
// client gives up, which makes a tool call that keeps running.
class SilentService {
 public:
  SilentService() {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(socket_, 16) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot listen on loopback";
    }
    port_ = ntohs(address.sin_port);
  }
  ~SilentService() { ::close(socket_); }
  int port() const { return port_; }

 private:
  int socket_ = -1;
  int port_ = 0;
};

std::string writeConnectionFile(int port) {
  std::string directory = ::testing::TempDir() + "session-process-XXXXXX";
  if (::mkdtemp(directory.data()) == nullptr) return {};
  const std::string path = directory + "/connection.json";
  std::ofstream(path) << R"({"apiVersion":"v1","baseURL":"http://127.0.0.1:)" << port
                      << R"(","authorizationHeader":"Bearer secret","localOnly":true})";
  ::chmod(path.c_str(), 0600);
  return path;
}

TEST(SessionProcess, SlowToolCallDelaysNeitherPingNorTheEndOfInput) {
  const SilentService service;
  const std::string connection = writeConnectionFile(service.port());
  ASSERT_FALSE(connection.empty());
  ServerProcess server(std::vector<std::string>{"--connection", connection});
  ASSERT_TRUE(server.writeLine(kInitialize));
  ASSERT_EQ(server.readLine(), kInitializeResult);
  ASSERT_TRUE(server.writeLine(
      R"({"jsonrpc":"2.0","id":"slow","method":"tools/call","params":{"name":"tindrel_health"}})"));
  ASSERT_TRUE(server.writeLine(R"({"jsonrpc":"2.0","id":"ping","method":"ping"})"));
  EXPECT_EQ(server.readLine(), R"({"id":"ping","jsonrpc":"2.0","result":{}})");
  // The call is still waiting for the service: end of input ends the process
  // at once, without an answer to it.
  server.closeStandardInput();
  EXPECT_EQ(server.waitForExit(), 0);
  EXPECT_EQ(server.readOutputToEnd(), "");
  EXPECT_EQ(server.readErrorToEnd(), "");
}

}  // namespace
}  // namespace tindrel::testing
