// The one result envelope of every tool call.

#include <utility>

#include "json/json_writer.h"
#include "tools/mcp_bridge.h"

namespace tindrel {

namespace {

// Built member by member: an initializer list would copy the payload.
JsonValue envelope(std::string text, JsonValue structuredContent, bool isError) {
  JsonObject item;
  item.emplace("type", "text");
  item.emplace("text", std::move(text));
  JsonArray content;
  content.emplace_back(std::move(item));
  JsonObject result;
  result.emplace("content", std::move(content));
  result.emplace("structuredContent", std::move(structuredContent));
  result.emplace("isError", isError);
  return JsonValue(std::move(result));
}

}  // namespace

JsonValue ToolCallResult::toJson() const& { return envelope(text, structuredContent, isError); }

JsonValue ToolCallResult::toJson() && {
  return envelope(std::move(text), std::move(structuredContent), isError);
}

ToolCallResult MCPBridge::response(JsonObject payload, bool isError) {
  // The writer takes a JsonValue; moving the map in and back out again costs
  // nothing, whereas a copy would duplicate a whole transcript page.
  JsonValue wrapped(std::move(payload));
  std::string text = writeJson(wrapped);
  return ToolCallResult{
      .text = std::move(text),
      .structuredContent = std::move(*wrapped.asObject()),
      .isError = isError,
  };
}

}  // namespace tindrel
