#include "hardening/hardening_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "json/json_reader.h"

namespace tindrel::hardening {

namespace {

// A listening TCP socket on 127.0.0.1 with an ephemeral port.
int listenOnLoopback(int& port) {
  const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
  if (descriptor < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(descriptor, 1024) != 0 ||
      ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(descriptor);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port = ntohs(address.sin_port);
  return descriptor;
}

}  // namespace

ConnectionFile::ConnectionFile() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tindrel-hardening-XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  path_ = directory_ / "connection.json";
}

ConnectionFile::~ConnectionFile() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void ConnectionFile::write(int port, const std::string& token) {
  // JSON-escape the token so that any test token (quotes, backslashes) is
  // carried exactly.
  std::string escaped;
  for (const char c : token) {
    if (c == '"' || c == '\\') escaped.push_back('\\');
    escaped.push_back(c);
  }
  const std::filesystem::path staging = directory_ / "connection.json.new";
  {
    std::ofstream out(staging, std::ios::trunc);
    out << R"({"apiVersion":"v1","baseURL":"http://127.0.0.1:)" << port
        << R"(","authorizationHeader":"Bearer )" << escaped << R"(","localOnly":true})";
  }
  ::chmod(staging.c_str(), 0600);
  std::filesystem::rename(staging, path_);
}

FakeService::FakeService(Handler handler) : handler_(std::move(handler)) {
  const auto serve = [this](const httplib::Request& request, httplib::Response& response) {
    Handler handler;
    {
      const std::lock_guard lock(mutex_);
      records_.push_back(
          {request.method, request.path, request.get_header_value("Authorization"), request.body});
      handler = handler_;
    }
    handler(request, response);
  };
  // One request per connection: a kept-alive connection would hold a handler
  // thread while a thousand others wait.
  server_.set_keep_alive_max_count(1);
  server_.Get(".*", serve);
  server_.Post(".*", serve);
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("fake service cannot bind");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // Bounded wait until the listening loop runs; the port accepts connections
  // from bind on, so a slow start only delays, never loses, a request.
  for (int i = 0; i < 500 && !server_.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

FakeService::~FakeService() {
  server_.stop();
  thread_.join();
}

void FakeService::setHandler(Handler handler) {
  const std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<RecordedRequest> FakeService::requests() {
  const std::lock_guard lock(mutex_);
  return records_;
}

SilentService::SilentService() {
  listener_ = listenOnLoopback(port_);
  thread_ = std::thread([this] {
    while (!stopping_) {
      pollfd watched{listener_, POLLIN, 0};
      if (::poll(&watched, 1, 50) <= 0) continue;
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) continue;
      const std::lock_guard lock(mutex_);
      accepted_.push_back(connection);
    }
  });
}

SilentService::~SilentService() {
  stopping_ = true;
  thread_.join();
  for (const int connection : accepted_) ::close(connection);
  ::close(listener_);
}

int unusedPort() {
  int port = 0;
  ::close(listenOnLoopback(port));
  return port;
}

namespace {

testing::ProcessOptions withConnection(const std::filesystem::path& connectionFile) {
  testing::ProcessOptions options;
  options.arguments = {"--connection", connectionFile.string()};
  return options;
}

}  // namespace

McpClient::McpClient(const std::filesystem::path& connectionFile)
    : McpClient(withConnection(connectionFile)) {}

McpClient::McpClient(testing::ProcessOptions options) : process_(std::move(options)) {}

bool McpClient::initialize() {
  process_.writeLine(
      R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-11-25",)"
      R"("capabilities":{},"clientInfo":{"name":"hardening","version":"1"}}})");
  const auto answer = response(0, milliseconds(10000));
  return answer && answer->find("result") != nullptr;
}

void McpClient::sendCall(std::int64_t id, const std::string& tool, const std::string& arguments) {
  process_.writeLine(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                     R"(,"method":"tools/call","params":{"name":")" + tool + R"(","arguments":)" +
                     arguments + "}}");
}

std::optional<JsonValue> McpClient::takePending(std::int64_t id) {
  const auto found = pending_.find(id);
  if (found == pending_.end()) return std::nullopt;
  JsonValue value = std::move(found->second);
  pending_.erase(found);
  return value;
}

std::optional<JsonValue> McpClient::response(std::int64_t id, milliseconds timeout) {
  if (auto value = takePending(id)) return value;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    const auto line = process_.readLine(std::max(left, milliseconds(1)));
    if (!line) return std::nullopt;
    lines_.push_back(*line);
    JsonValue value = readJson(*line);  // throws, failing the test, on a broken line
    const JsonValue* responseId = value.find("id");
    if (responseId != nullptr && responseId->isInteger()) {
      if (*responseId->asInteger() == id) return value;
      pending_.insert_or_assign(*responseId->asInteger(), std::move(value));
    }
  }
  return std::nullopt;
}

std::optional<McpClient::ToolResult> McpClient::call(const std::string& tool,
                                                     const std::string& arguments,
                                                     milliseconds timeout) {
  const std::int64_t id = nextId_++;
  sendCall(id, tool, arguments);
  const auto answer = response(id, timeout);
  if (!answer) {
    ADD_FAILURE() << "no answer to " << tool << " within the timeout";
    return std::nullopt;
  }
  const JsonValue* result = answer->find("result");
  if (result == nullptr) {
    ADD_FAILURE() << "not a tool result: " << lines_.back();
    return std::nullopt;
  }
  const JsonValue* content = result->find("structuredContent");
  const JsonValue* isError = result->find("isError");
  if (content == nullptr || !content->isObject() || isError == nullptr || !isError->isBool()) {
    ADD_FAILURE() << "malformed tool result: " << lines_.back();
    return std::nullopt;
  }
  return ToolResult{*content->asObject(), *isError->asBool()};
}

bool McpClient::ping(milliseconds timeout) {
  const std::int64_t id = nextId_++;
  process_.writeLine(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})");
  const auto answer = response(id, timeout);
  return answer && answer->find("result") != nullptr;
}

ErrorTexts errorTexts(const JsonObject& content) {
  const auto text = [&](const char* key) {
    const auto found = content.find(key);
    return found != content.end() && found->second.isString() ? *found->second.asString()
                                                              : std::string("<missing>");
  };
  return {text("code"), text("error"), text("recoverySuggestion")};
}

}  // namespace tindrel::hardening
