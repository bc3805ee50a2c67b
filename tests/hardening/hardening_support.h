// Shared pieces of the hardening tests: a private connection file, fake
// services of the app on 127.0.0.1 (an HTTP one, and a raw socket one that
// accepts and never answers), and a small MCP client over the process
// harness.
//
// Thread-safety: each object is used by one test thread; FakeService's
// handler and its records are called from the server's threads and are
// internally synchronised.
#pragma once

// Fakes must take a thousand connections at once: a deep listen queue, enough
// handler threads (the library's defaults are 5 and 8), and poll(2) instead of
// select(2), which cannot watch descriptors numbered 1024 and above.
#define CPPHTTPLIB_USE_POLL
#define CPPHTTPLIB_LISTEN_BACKLOG 1024
#define CPPHTTPLIB_THREAD_POOL_COUNT 16
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "json/json_value.h"
#include "process/process_harness.h"

namespace tindrel::hardening {

using std::chrono::milliseconds;

// A temporary directory holding connection.json, removed with the object.
class ConnectionFile {
 public:
  ConnectionFile();
  ~ConnectionFile();
  ConnectionFile(const ConnectionFile&) = delete;
  ConnectionFile& operator=(const ConnectionFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  const std::filesystem::path& directory() const { return directory_; }

  // Writes a valid file (mode 0600) for http://127.0.0.1:<port> and the
  // header "Bearer <token>", replacing any earlier file atomically.
  void write(int port, const std::string& token);

 private:
  std::filesystem::path directory_;
  std::filesystem::path path_;
};

struct RecordedRequest {
  std::string method;
  std::string path;
  std::string authorization;
  std::string body;
};

// An HTTP service on 127.0.0.1 with an ephemeral port; every request goes to
// the one handler, which may be replaced between calls.
class FakeService {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  explicit FakeService(Handler handler);
  ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  int port() const { return port_; }
  void setHandler(Handler handler);
  std::vector<RecordedRequest> requests();

 private:
  httplib::Server server_;
  std::thread thread_;
  std::mutex mutex_;
  Handler handler_;                       // guarded by mutex_
  std::vector<RecordedRequest> records_;  // guarded by mutex_
  int port_ = 0;
};

// Accepts connections on 127.0.0.1 and never answers; the connections are
// closed when the object is destroyed.
class SilentService {
 public:
  SilentService();
  ~SilentService();
  SilentService(const SilentService&) = delete;
  SilentService& operator=(const SilentService&) = delete;

  int port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<int> accepted_;  // guarded by mutex_
};

// A port on 127.0.0.1 on which nothing listens (bound once, then released).
int unusedPort();

// An MCP client over a running tindrel-mcp: writes requests, reads responses
// by id, keeping responses that arrive for other ids.
class McpClient {
 public:
  explicit McpClient(const std::filesystem::path& connectionFile);
  explicit McpClient(testing::ProcessOptions options);

  testing::ServerProcess& process() { return process_; }

  // Sends initialize and checks its answer. Returns false when it failed.
  bool initialize();

  // Writes a tools/call request with this id, tool name and arguments (JSON
  // text of an object).
  void sendCall(std::int64_t id, const std::string& tool, const std::string& arguments = "{}");

  // The response with this id, parsed; nullopt when none arrives in time.
  std::optional<JsonValue> response(std::int64_t id, milliseconds timeout);

  // Calls a tool and returns the result's structuredContent and isError;
  // fails the current test when the answer is not a tool result.
  struct ToolResult {
    JsonObject content;
    bool isError = false;
  };
  std::optional<ToolResult> call(const std::string& tool, const std::string& arguments = "{}",
                                 milliseconds timeout = milliseconds(20000));

  // Sends a ping and returns true when it is answered within `timeout`.
  bool ping(milliseconds timeout);

  // Every line read from standard output so far, in order.
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::optional<JsonValue> takePending(std::int64_t id);

  testing::ServerProcess process_;
  std::int64_t nextId_ = 1000000;
  std::map<std::int64_t, JsonValue> pending_;
  std::vector<std::string> lines_;
};

// The three texts of an error object, for comparisons.
struct ErrorTexts {
  std::string code;
  std::string error;
  std::string recoverySuggestion;
  friend bool operator==(const ErrorTexts&, const ErrorTexts&) = default;
  friend std::ostream& operator<<(std::ostream& out, const ErrorTexts& texts) {
    return out << "{" << texts.code << " | " << texts.error << " | " << texts.recoverySuggestion
               << "}";
  }
};
ErrorTexts errorTexts(const JsonObject& content);

}  // namespace tindrel::hardening
