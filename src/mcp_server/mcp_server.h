// MCPServer: the MCP server core. Reads messages from a MessageTransport,
// classifies them (batch, response, request, notification), answers
// initialize and ping itself, applies the strict initialization gate, routes
// other requests to registered method handlers (each request on a thread of
// its own, without limit), and writes responses and JSON-RPC errors as compact
// JSON with sorted keys.
//
// Requests outside batches: initialize, ping and the answers the core gives
// itself (unknown method, the silent refusal before initialize) are handled on
// the message loop's thread as they are read; every registered method runs on
// a pooled thread of its own, so any number run at once and a slow handler
// delays nothing else. Batches and notifications are handled by the loop,
// which reads the next message only when they are done. Responses are written
// in the order they are finished.
//
// Thread-safety: registerMethod() only before start(); everything else is
// internally synchronised.
//
// Lifetime: the destructor ends the transport (disconnect) when the message
// loop is still reading, waits for the loop, requests the stop of every
// running handler and waits for them to end and write their answers. A process may instead simply
// exit while handlers are still running.
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
  // The "capabilities" member of the initialize result.
  JsonValue capabilities = JsonObject{};
};

class MCPServer {
 public:
  // Handles one request. `params` is the request's "params" member, or nullptr
  // when the request has none; its strings are plain strings, data URLs
  // included (a handler applies convertDataUrls() where it wants byte data).
  // `stop` is requested when the client cancels the request. Returns the
  // result; throws ProtocolError for a JSON-RPC error, RequestCancelled to
  // answer nothing, any other std::exception for an internal error whose
  // detail is its what().
  using MethodHandler = std::function<JsonValue(const JsonValue* params, std::stop_token stop)>;

  explicit MCPServer(ServerConfiguration configuration);
  ~MCPServer();
  MCPServer(const MCPServer&) = delete;
  MCPServer& operator=(const MCPServer&) = delete;

  // Registers the handler of `method`. Only before start(). initialize and
  // ping are the core's own and cannot be replaced.
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
