// Tool calls through the built binary, against an in-process fake of the
// app's local service on 127.0.0.1 and a private connection file.
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "json/json_reader.h"
#include "process/process_harness.h"

namespace tindrel::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kToken = "tok-5e2a91c7d0";
constexpr const char* kJobPath = "/api/v1/jobs/5B1C3F0E-8A2D-4C6B-9E7F-0A1B2C3D4E5F";

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-11-25",)"
    R"("capabilities":{},"clientInfo":{"name":"test","version":"1"}}})";

std::string toolCall(const std::string& id, const std::string& params) {
  return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"tools/call","params":)" + params + "}";
}

// The result line of a tool call whose payload is `payloadJson` (compact, keys
// sorted) and whose text item carries the same JSON, escaped once more.
std::string resultLine(const std::string& id, const std::string& payloadJson, bool isError) {
  std::string escaped;
  for (const char character : payloadJson) {
    if (character == '"' || character == '\\') escaped += '\\';
    escaped += character;
  }
  return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{"content":[{"text":")" + escaped +
         R"(","type":"text"}],"isError":)" + (isError ? "true" : "false") +
         R"(,"structuredContent":)" + payloadJson + "}}";
}

struct ReceivedRequest {
  std::string method;
  std::string path;
  std::string authorization;
  std::string body;
};

// The app's service: fixed answers per endpoint; the job endpoint can be held
// until released, to keep an exchange in flight.
class FakeService {
 public:
  FakeService() {
    server_.Get("/api/v1/health",
                [this](const httplib::Request& request, httplib::Response& response) {
                  record(request);
                  // The credential in an answer must never reach the client.
                  response.set_content(std::string(R"({"ready":true,"token":")") + kToken +
                                           R"(","note":"auth Bearer )" + kToken + R"("})",
                                       "application/json");
                });
    server_.Post("/api/v1/transcribe",
                 [this](const httplib::Request& request, httplib::Response& response) {
                   record(request);
                   response.set_content(R"({"jobId":"5B1C3F0E-8A2D-4C6B-9E7F-0A1B2C3D4E5F",)"
                                        R"("status":"queued"})",
                                        "application/json");
                 });
    server_.Get(R"(/api/v1/jobs/(.+))", [this](const httplib::Request& request,
                                               httplib::Response& response) {
      record(request);
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return !holdJobs_; });
      response.set_content(R"({"status":"completed","result":{"utterances":[{"text":"Hello"},)"
                           R"({"text":"w\u00F6rld \uD83C\uDF0D"}]}})",
                           "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }

  ~FakeService() {
    release();
    server_.stop();
    thread_.join();
  }

  int port() const { return port_; }

  void holdJobs() {
    const std::lock_guard lock(mutex_);
    holdJobs_ = true;
  }
  void release() {
    {
      const std::lock_guard lock(mutex_);
      holdJobs_ = false;
    }
    changed_.notify_all();
  }

  std::vector<ReceivedRequest> requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
  }

  // Waits until `count` requests have arrived.
  bool waitForRequests(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return requests_.size() >= count; });
  }

 private:
  void record(const httplib::Request& request) {
    {
      const std::lock_guard lock(mutex_);
      requests_.push_back(ReceivedRequest{request.method, request.path,
                                          request.get_header_value("Authorization"), request.body});
    }
    changed_.notify_all();
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool holdJobs_ = false;
  std::vector<ReceivedRequest> requests_;
};

// A private temporary directory holding the connection file.
class ConnectionDirectory {
 public:
  ConnectionDirectory() {
    char pattern[] = "/tmp/tindrel-tool-calls-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory_ = pattern;
  }
  ~ConnectionDirectory() { std::filesystem::remove_all(directory_); }

  std::string path() const { return (directory_ / "connection.json").string(); }

  void write(int port) const {
    std::ofstream(path()) << R"({"apiVersion":"v1","baseURL":"http://127.0.0.1:)" << port
                          << R"(","authorizationHeader":"Bearer )" << kToken
                          << R"(","localOnly":true})";
    ::chmod(path().c_str(), 0600);
  }

 private:
  std::filesystem::path directory_;
};

class ToolCallsProcess : public ::testing::Test {
 protected:
  void SetUp() override { connection_.write(service_.port()); }

  // Starts the server on the connection file and initializes the session.
  std::unique_ptr<ServerProcess> startSession() {
    auto server = std::make_unique<ServerProcess>(
        std::vector<std::string>{"--connection", connection_.path()});
    EXPECT_TRUE(server->writeLine(kInitialize));
    EXPECT_TRUE(server->readLine().has_value());
    return server;
  }

  static void expectSilence(ServerProcess& server, milliseconds period) {
    const std::optional<std::string> line = server.readLine(period);
    EXPECT_FALSE(line.has_value()) << "unexpected line: " << *line;
  }

  static void expectCleanEnd(ServerProcess& server) {
    server.closeStandardInput();
    EXPECT_EQ(server.readOutputToEnd(), "");
    EXPECT_EQ(server.waitForExit(), 0);
  }

  FakeService service_;
  ConnectionDirectory connection_;
};

TEST_F(ToolCallsProcess, EachToolReachesTheServiceOnce) {
  const auto server = startSession();
  struct Exchange {
    std::string input;
    std::string expected;
  };
  const std::vector<Exchange> exchanges = {
      {toolCall("1", R"({"name":"tindrel_health"})"),
       resultLine("1", R"({"note":"auth [redacted]","ready":true})", false)},
      {toolCall("2", R"({"name":"tindrel_transcribe","arguments":{"filePath":"/Users/a/m.m4a",)"
                     R"("idempotencyKey":" k1 ","identifySpeakers":true}})"),
       resultLine("2",
                  R"({"jobId":"5B1C3F0E-8A2D-4C6B-9E7F-0A1B2C3D4E5F","nextPollAfterSeconds":2,)"
                  R"("status":"queued"})",
                  false)},
      {toolCall(
           "3",
           R"({"name":"tindrel_get_job","arguments":{"jobId":"5b1c3f0e-8a2d-4c6b-9e7f-0a1b2c3d4e5f"}})"),
       resultLine("3", R"({"status":"completed"})", false)},
      {toolCall(
           R"("r")",
           R"({"name":"tindrel_get_result","arguments":{"jobId":"5b1c3f0e-8a2d-4c6b-9e7f-0a1b2c3d4e5f","offset":3,"maxCharacters":5}})"),
       resultLine(R"("r")",
                  "{\"format\":\"text\",\"nextOffset\":8,\"offset\":3,\"status\":\"completed\","
                  "\"text\":\"lo\\nw\u00F6\",\"totalCharacters\":13}",
                  false)},
  };
  for (const Exchange& exchange : exchanges) {
    ASSERT_TRUE(server->writeLine(exchange.input));
    EXPECT_EQ(server->readLine(), exchange.expected) << exchange.input;
  }

  const std::vector<ReceivedRequest> requests = service_.requests();
  ASSERT_EQ(requests.size(), 4u);
  const std::string authorization = std::string("Bearer ") + kToken;
  const std::vector<std::pair<std::string, std::string>> expectedRequests = {
      {"GET", "/api/v1/health"},
      {"POST", "/api/v1/transcribe"},
      {"GET", kJobPath},
      {"GET", kJobPath},
  };
  for (std::size_t index = 0; index < requests.size(); ++index) {
    EXPECT_EQ(requests[index].method, expectedRequests[index].first);
    EXPECT_EQ(requests[index].path, expectedRequests[index].second);
    EXPECT_EQ(requests[index].authorization, authorization);
  }
  // The key travels with its spaces; no flag the client did not send is added.
  EXPECT_EQ(
      readJson(requests[1].body),
      readJson(R"({"filePath":"/Users/a/m.m4a","idempotencyKey":" k1 ","identifySpeakers":true})"));
  expectCleanEnd(*server);
}

TEST_F(ToolCallsProcess, ParameterShapesAndUnknownTools) {
  const auto server = startSession();
  const std::string invalidPath =
      R"({"code":"invalid_file_path","error":"filePath must be an absolute local audio/video )"
      R"(path.","recoverySuggestion":"Correct the request and retry. The original audio is )"
      R"(unchanged."})";
  struct Exchange {
    std::string input;
    std::string expected;  // empty: an internal error (-32603) with any description
  };
  const std::vector<Exchange> exchanges = {
      {toolCall("1", R"({"name":"tindrel_Health","arguments":{}})"),
       R"({"error":{"code":-32602,"data":{"detail":"Unknown Tindrel tool"},)"
       R"("message":"Invalid params: Unknown Tindrel tool"},"id":1,"jsonrpc":"2.0"})"},
      {toolCall("2", R"({"name":"tindrel_transcribe","arguments":null})"),
       resultLine("2", invalidPath, true)},
      {toolCall("3", R"({"name":"tindrel_transcribe"})"), resultLine("3", invalidPath, true)},
      {R"({"jsonrpc":"2.0","id":4,"method":"tools/call"})", ""},
      {toolCall("5", R"({"arguments":{}})"), ""},
      {toolCall("6", R"({"name":7})"), ""},
      {toolCall("7", R"({"name":"tindrel_health","arguments":[]})"), ""},
      // The tool name is a plain string; an argument that as a whole is a
      // data URL is byte data, which no string rule accepts.
      {toolCall("8", R"({"name":"data:,tindrel_health"})"),
       R"({"error":{"code":-32602,"data":{"detail":"Unknown Tindrel tool"},)"
       R"("message":"Invalid params: Unknown Tindrel tool"},"id":8,"jsonrpc":"2.0"})"},
      {toolCall(R"("data:,9")", R"({"name":"tindrel_transcribe","arguments":)"
                                R"({"filePath":"/Users/a/m.m4a","idempotencyKey":"data:,k1"}})"),
       resultLine(R"("data:,9")",
                  "{\"code\":\"invalid_arguments\",\"error\":\"idempotencyKey is required "
                  "and must contain 1\u2013200 characters.\",\"recoverySuggestion\":\"Correct "
                  "the request and retry. The original audio is unchanged.\"}",
                  true)},
  };
  for (const Exchange& exchange : exchanges) {
    ASSERT_TRUE(server->writeLine(exchange.input));
    const std::optional<std::string> line = server->readLine();
    ASSERT_TRUE(line.has_value()) << exchange.input;
    if (exchange.expected.empty()) {
      EXPECT_TRUE(line->starts_with(R"({"error":{"code":-32603,)")) << *line;
    } else {
      EXPECT_EQ(*line, exchange.expected) << exchange.input;
    }
  }
  EXPECT_TRUE(service_.requests().empty());
  expectCleanEnd(*server);
}

TEST_F(ToolCallsProcess, MissingConnectionFileIsAToolResult) {
  ServerProcess server({"--connection", connection_.path() + ".missing"});
  ASSERT_TRUE(server.writeLine(kInitialize));
  ASSERT_TRUE(server.readLine().has_value());
  ASSERT_TRUE(server.writeLine(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})"));
  const std::optional<std::string> list = server.readLine();
  ASSERT_TRUE(list.has_value());
  EXPECT_TRUE(list->starts_with(R"({"id":1,"jsonrpc":"2.0","result":{"tools":[)")) << *list;

  ASSERT_TRUE(server.writeLine(toolCall("2", R"({"name":"tindrel_health"})")));
  EXPECT_EQ(
      server.readLine(),
      resultLine("2",
                 R"({"code":"service_unavailable","error":"Tindrel connection information )"
                 R"(is unavailable.","recoverySuggestion":"Open Tindrel on this Mac and wait )"
                 R"(for its local service. Reconnect the MCP server. Do not paste a token."})",
                 true));
  EXPECT_TRUE(service_.requests().empty());
  expectCleanEnd(server);
}

TEST_F(ToolCallsProcess, CancelledCallInFlightIsNeverAnswered) {
  const auto server = startSession();
  service_.holdJobs();
  ASSERT_TRUE(server->writeLine(toolCall(
      "5",
      R"({"name":"tindrel_get_job","arguments":{"jobId":"5b1c3f0e-8a2d-4c6b-9e7f-0a1b2c3d4e5f"}})")));
  ASSERT_TRUE(service_.waitForRequests(1));

  ASSERT_TRUE(server->writeLine(
      R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":5,"reason":"user"}})"));
  ASSERT_TRUE(server->writeLine(R"({"jsonrpc":"2.0","id":6,"method":"ping"})"));
  EXPECT_EQ(server->readLine(), R"({"id":6,"jsonrpc":"2.0","result":{}})");

  // The withdrawn call stays unanswered, even once the service answers.
  expectSilence(*server, 1500ms);
  service_.release();
  expectSilence(*server, 1000ms);

  // The session goes on: the next call is served normally.
  ASSERT_TRUE(server->writeLine(toolCall("7", R"({"name":"tindrel_health"})")));
  EXPECT_EQ(server->readLine(),
            resultLine("7", R"({"note":"auth [redacted]","ready":true})", false));
  expectCleanEnd(*server);
}

}  // namespace
}  // namespace tindrel::testing
