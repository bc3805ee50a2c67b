// The JSON-RPC 2.0 message forms of the MCP session: reading an incoming
// message as a request, a notification or a response, and building responses.
//
// Thread-safety: stateless functions.
#pragma once

#include <optional>
#include <string>

#include "json/json_value.h"
#include "mcp_server/protocol_error.h"

namespace tindrel {

struct JsonRpcRequest {
  JsonValue id;  // a string or an integer
  std::string method;
  std::optional<JsonValue> params;
};

struct JsonRpcNotification {
  std::string method;
  std::optional<JsonValue> params;
};

// True for the two kinds of id a request may carry: a string or an integer.
bool isRequestId(const JsonValue& id) noexcept;

// A response from the client: "jsonrpc" "2.0", a string or integer "id", and
// a "result" or an "error" object with an integer "code" and a string
// "message".
bool isJsonRpcResponse(const JsonValue& message) noexcept;

// Reads `message` as a request ("jsonrpc" "2.0", a string or integer "id", a
// string "method", optional "params"), moving its parts out. Returns nullopt,
// leaving `message` untouched, when it is not one.
std::optional<JsonRpcRequest> takeJsonRpcRequest(JsonValue& message);

// Reads `message` as a notification ("jsonrpc" "2.0", a string "method",
// optional "params"; any "id" is ignored). Returns nullopt, leaving `message`
// untouched, when it is not one.
std::optional<JsonRpcNotification> takeJsonRpcNotification(JsonValue& message);

// {"id": id, "jsonrpc": "2.0", "result": result}
JsonValue successResponse(const JsonValue& id, JsonValue result);

// {"error": {"code", "message"[, "data": {"detail"}]}, "id": id, "jsonrpc": "2.0"}
JsonValue errorResponse(const JsonValue& id, const ProtocolError& error);

}  // namespace tindrel
