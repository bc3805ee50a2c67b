// The tools/list and tools/call handlers, joining the MCP core to MCPBridge.

#include "entry/tool_wiring.h"

#include <memory>
#include <stdexcept>
#include <utility>

#include "json/json_reader.h"
#include "local_api/bridge_error.h"
#include "local_api/local_api_client.h"
#include "mcp_server/protocol_error.h"
#include "tools/mcp_bridge.h"

namespace tindrel {

namespace {

constexpr const char* kUnknownToolDetail = "Unknown Tindrel tool";

// The parameters of tools/call. A missing or mistyped member is a reading
// failure, which the core answers as an internal error with this description.
struct ToolCallParams {
  const std::string* name = nullptr;
  const JsonObject* arguments = nullptr;  // nullptr: none were sent
};

ToolCallParams readToolCallParams(const JsonValue* params) {
  if (params == nullptr || !params->isObject()) {
    throw std::runtime_error("tools/call params must be an object");
  }
  ToolCallParams read;
  const JsonValue* name = params->find("name");
  if (name == nullptr) throw std::runtime_error("tools/call params lack the member \"name\"");
  read.name = name->asString();
  if (read.name == nullptr) throw std::runtime_error("tools/call \"name\" must be a string");
  if (const JsonValue* arguments = params->find("arguments");
      arguments != nullptr && !arguments->isNull()) {
    read.arguments = arguments->asObject();
    if (read.arguments == nullptr) {
      throw std::runtime_error("tools/call \"arguments\" must be an object");
    }
  }
  return read;
}

}  // namespace

void registerToolHandlers(MCPServer& server, const std::string& connectionPath) {
  // The whole catalogue is one page: a cursor, if sent, changes nothing.
  server.registerMethod("tools/list", [](const JsonValue* /*params*/, std::stop_token) {
    return MCPBridge::toolsListResult();
  });

  const MCPBridge bridge(std::make_shared<const LocalAPIClient>(connectionPath));
  server.registerMethod("tools/call", [bridge](const JsonValue* params, std::stop_token stop) {
    const ToolCallParams read = readToolCallParams(params);
    // The arguments are free JSON values: a string that as a whole is a data
    // URL is byte data there, and every rule that wants a string refuses it.
    // The tool name is a plain string like the rest of the message.
    JsonObject arguments;
    if (read.arguments != nullptr) {
      arguments = *read.arguments;
      for (auto& [key, value] : arguments) convertDataUrls(value);
    }
    try {
      return bridge.call(*read.name, arguments, std::move(stop)).toJson();
    } catch (const UnknownToolError&) {
      throw ProtocolError(ProtocolError::Kind::invalidParams, kUnknownToolDetail);
    } catch (const RequestAborted&) {
      // Cancelled by the client while its exchange ran: nothing is written.
      throw RequestCancelled();
    }
  });
}

}  // namespace tindrel
