// Fuzz target: protocol messages through the session core.
//
// The input is split into lines, each handed to MCPServer as one incoming
// message through an in-memory transport; when the first byte is odd, an
// initialize request goes first so that most inputs reach the initialized
// session. Fake handlers stand in for the tool layer: tools/list answers a
// fixed list; tools/call echoes its params, or (by "name") fails with a
// ProtocolError, fails with another exception, waits until it is cancelled,
// or returns a value that cannot be written.
//
// Every message the core writes must be one JSON text without a raw line
// feed: a response object (or a non-empty array of them) with "jsonrpc"
// "2.0", a string or integer "id", and exactly one of "result" or an "error"
// holding an integer "code" and a string "message". Written without byte data
// it must be in the canonical compact form (sorted keys), so writing what was
// read gives the same bytes.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "mcp_server/mcp_server.h"
#include "mcp_server/protocol_error.h"
#include "transport/message_transport.h"

namespace {

using tindrel::JsonObject;
using tindrel::JsonValue;

// Incoming messages from a fixed list; outgoing ones kept for the checks.
class MemoryTransport final : public tindrel::MessageTransport {
 public:
  explicit MemoryTransport(std::deque<std::string> incoming) : incoming_(std::move(incoming)) {}

  void connect() override {}
  void disconnect() noexcept override {
    std::lock_guard lock(mutex_);
    incoming_.clear();
  }
  void send(std::string_view message) override {
    std::lock_guard lock(mutex_);
    sent_.emplace_back(message);
  }
  std::optional<std::string> receive() override {
    std::lock_guard lock(mutex_);
    if (incoming_.empty()) return std::nullopt;
    std::string message = std::move(incoming_.front());
    incoming_.pop_front();
    return message;
  }
  std::vector<std::string> sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }

 private:
  std::mutex mutex_;
  std::deque<std::string> incoming_;
  std::vector<std::string> sent_;
};

bool holdsBytes(const JsonValue& value) {
  if (value.isBytes()) return true;
  if (const auto* array = value.asArray()) {
    for (const JsonValue& element : *array) {
      if (holdsBytes(element)) return true;
    }
  }
  if (const auto* object = value.asObject()) {
    for (const auto& [key, member] : *object) {
      if (holdsBytes(member)) return true;
    }
  }
  return false;
}

void checkResponse(const JsonValue& response) {
  FUZZ_CHECK(response.isObject(), "response is not an object");
  const JsonValue* version = response.find("jsonrpc");
  FUZZ_CHECK(version != nullptr && version->isString() && *version->asString() == "2.0",
             "response without jsonrpc 2.0");
  const JsonValue* id = response.find("id");
  // A string id that is a data URL reads back as byte data.
  FUZZ_CHECK(id != nullptr && (id->isString() || id->isInteger() || id->isBytes()),
             "response id is not a string or an integer");
  const JsonValue* result = response.find("result");
  const JsonValue* error = response.find("error");
  FUZZ_CHECK((result == nullptr) != (error == nullptr), "response needs one of result or error");
  FUZZ_CHECK(response.asObject()->size() == 3, "response has extra members");
  if (error != nullptr) {
    const JsonValue* code = error->find("code");
    const JsonValue* message = error->find("message");
    FUZZ_CHECK(code != nullptr && code->isInteger(), "error code is not an integer");
    FUZZ_CHECK(message != nullptr && (message->isString() || message->isBytes()),
               "error message is not a string");
    const std::int64_t value = *code->asInteger();
    FUZZ_CHECK(value >= -32700 && value <= -32600, "error code outside JSON-RPC's own range");
  }
}

void checkOutput(const std::string& line) {
  FUZZ_CHECK(line.find('\n') == std::string::npos, "output holds a raw line feed");
  JsonValue value;
  try {
    value = tindrel::readJson(line);
  } catch (const tindrel::JsonReadError&) {
    FUZZ_CHECK(false, "output is not one JSON text");
  }
  if (!holdsBytes(value)) {
    FUZZ_CHECK(tindrel::writeJson(value) == line, "output is not compact with sorted keys");
  }
  if (const auto* batch = value.asArray()) {
    FUZZ_CHECK(!batch->empty(), "empty batch response written");
    for (const JsonValue& element : *batch) checkResponse(element);
  } else {
    checkResponse(value);
  }
}

JsonValue callTool(const JsonValue* params, std::stop_token stop) {
  const JsonValue* name = params == nullptr ? nullptr : params->find("name");
  if (name == nullptr || !name->isString()) {
    throw std::runtime_error("tools/call params need a string name");
  }
  const std::string& tool = *name->asString();
  if (tool == "protocol") {
    throw tindrel::ProtocolError(tindrel::ProtocolError::Kind::invalidParams,
                                 "Unknown Tindrel tool");
  }
  if (tool == "throw") throw std::runtime_error("handler failed\nwith a line feed");
  if (tool == "nan") return JsonObject{{"value", std::numeric_limits<double>::quiet_NaN()}};
  if (tool == "wait") {
    // Ends when the client cancels, or when the server is destroyed.
    std::mutex mutex;
    std::condition_variable_any woken;
    std::unique_lock lock(mutex);
    woken.wait_for(lock, stop, std::chrono::seconds(5), [] { return false; });
    throw tindrel::RequestCancelled();
  }
  return JsonObject{{"echo", *params}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::deque<std::string> messages;
  if ((data[0] & 1) != 0) {
    messages.emplace_back(
        R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})");
  }
  std::size_t start = 0;
  while (start < input.size()) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    if (end > start) messages.emplace_back(input.substr(start, end - start));
    start = end + 1;
  }

  MemoryTransport transport(std::move(messages));
  {
    tindrel::MCPServer server(
        {"Tindrel", "1.0.0", JsonObject{{"tools", JsonObject{{"listChanged", false}}}}});
    server.registerMethod("tools/list", [](const JsonValue*, std::stop_token) -> JsonValue {
      return JsonObject{{"tools", tindrel::JsonArray{}}};
    });
    server.registerMethod("tools/call", callTool);
    server.start(transport);
    server.waitUntilCompleted();
  }  // the destructor stops and waits for every handler still running
  for (const std::string& line : transport.sent()) checkOutput(line);
  return 0;
}
