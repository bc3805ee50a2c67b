// Joins the MCP server core to the tool layer: registers the tools/list
// handler and builds the one LocalAPIClient and MCPBridge of the process around
// the connection-file location, then registers the tools/call handler.
#pragma once

#include <string>

#include "mcp_server/mcp_server.h"

namespace tindrel {

// Before server.start(). Touches neither the connection file nor the network.
void registerToolHandlers(MCPServer& server, const std::string& connectionPath);

}  // namespace tindrel
