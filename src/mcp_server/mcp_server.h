// MCPServer: the MCP server core. Reads messages from a MessageTransport,
// classifies them (batch, response, request, notification), answers
// initialize and ping itself, applies the strict initialization gate, routes
// other requests to registered method handlers (each request on a thread of
// its own, without limit), and writes responses and JSON-RPC errors as compact
// JSON with sorted keys.
//
// Thread-safety: registerMethod() only before start(); everything else is
// internally synchronised.
#pragma once

#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "json/json_value.h"
#include "transport/message_transport.h"

namespace tindrel {

struct ServerConfiguration {
  std::string name;
  std::string version;
};

class MCPServer {
 public:
  // Handles one request. `params` is the request's "params" member, or nullptr
  // when the request has none. `stop` is requested when the client cancels the
  // request. Returns the result; throws ProtocolError for a JSON-RPC error,
  // RequestCancelled to answer nothing, any other std::exception for an
  // internal error whose detail is its what().
  using MethodHandler = std::function<JsonValue(const JsonValue* params, std::stop_token stop)>;

  explicit MCPServer(ServerConfiguration configuration);
  ~MCPServer();
  MCPServer(const MCPServer&) = delete;
  MCPServer& operator=(const MCPServer&) = delete;

  // Registers the handler of `method`. Only before start().
  void registerMethod(std::string method, MethodHandler handler);

  // Connects `transport` and starts the message loop on a thread of its own.
  // `transport` must outlive the server. Throws TransportError when the
  // transport cannot connect.
  void start(MessageTransport& transport);

  // Blocks until the message loop has ended (end of input or a stream error).
  void waitUntilCompleted();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tindrel
