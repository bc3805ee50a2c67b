// MCPBridge: the tool layer. The fixed catalogue of the four tools, the one
// result envelope, and call(): validation of a tool call's arguments, the one
// request it becomes, and the shaping of the app's answer into a tool result.
//
// Knows nothing of JSON-RPC: a tool name outside the catalogue is reported as
// UnknownToolError, which the wiring turns into the protocol error.
//
// Thread-safety: immutable after construction; call() may run on any number
// of threads at once. The catalogue is built once, on first use.
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_value.h"
#include "local_api/local_api.h"

namespace tindrel {

struct ToolAnnotations {
  std::optional<std::string> title;
  std::optional<bool> destructiveHint;
  std::optional<bool> idempotentHint;
  std::optional<bool> openWorldHint;
  std::optional<bool> readOnlyHint;
};

struct ToolDefinition {
  std::string name;
  std::optional<std::string> title;
  std::optional<std::string> description;
  JsonValue inputSchema;
  std::optional<JsonValue> outputSchema;
  ToolAnnotations annotations;

  // The entry as written in the tools/list result; unset fields are absent.
  JsonValue toJson() const;
};

struct ToolCallResult {
  std::string text;              // the payload as compact, sorted-key JSON text
  JsonObject structuredContent;  // the payload itself
  bool isError = false;

  // {"content":[{"text":...,"type":"text"}],"isError":...,"structuredContent":...}
  // The rvalue form moves the text and the payload instead of copying them.
  JsonValue toJson() const&;
  JsonValue toJson() &&;
};

// The requested tool name is not in the catalogue.
class UnknownToolError : public std::exception {
 public:
  const char* what() const noexcept override { return "Unknown Tindrel tool"; }
};

class MCPBridge {
 public:
  explicit MCPBridge(std::shared_ptr<const LocalAPI> client);

  // The catalogue, in list order.
  static const std::vector<ToolDefinition>& tools();

  // The tools/list result: {"tools": [...]}.
  static JsonValue toolsListResult();

  // Serves one tool call. Every tool-level failure comes back as a result with
  // isError true. Throws UnknownToolError for a name outside the catalogue,
  // RequestAborted when `stop` was requested while the request ran, and
  // JsonWriteError only if an error result itself cannot be written.
  ToolCallResult call(std::string_view name, const JsonObject& arguments,
                      std::stop_token stop = {}) const;

  // The envelope: `payload` as one compact JSON text item and as
  // structuredContent, with the flag. Throws JsonWriteError when the payload
  // holds a non-finite double.
  static ToolCallResult response(JsonObject payload, bool isError);

 private:
  std::shared_ptr<const LocalAPI> client_;
};

}  // namespace tindrel
