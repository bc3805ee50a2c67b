#include "mcp_server/json_rpc.h"

#include <utility>

#include "mcp_server/session_texts.h"

namespace tindrel {

namespace {

bool hasJsonRpcVersion(const JsonObject& object) {
  const auto it = object.find("jsonrpc");
  if (it == object.end()) return false;
  const std::string* version = it->second.asString();
  return version != nullptr && *version == session_texts::kJsonRpcVersion;
}

std::optional<JsonValue> takeParams(JsonObject& object) {
  const auto it = object.find("params");
  if (it == object.end()) return std::nullopt;
  return std::move(it->second);
}

}  // namespace

bool isRequestId(const JsonValue& id) noexcept { return id.isString() || id.isInteger(); }

bool isJsonRpcResponse(const JsonValue& message) noexcept {
  const JsonObject* object = message.asObject();
  if (object == nullptr || !hasJsonRpcVersion(*object)) return false;
  const JsonValue* id = message.find("id");
  if (id == nullptr || !isRequestId(*id)) return false;
  if (message.find("result") != nullptr) return true;
  const JsonValue* error = message.find("error");
  if (error == nullptr) return false;
  const JsonValue* code = error->find("code");
  const JsonValue* text = error->find("message");
  return code != nullptr && code->isInteger() && text != nullptr && text->isString();
}

std::optional<JsonRpcRequest> takeJsonRpcRequest(JsonValue& message) {
  JsonObject* object = message.asObject();
  if (object == nullptr || !hasJsonRpcVersion(*object)) return std::nullopt;
  const auto id = object->find("id");
  const auto method = object->find("method");
  if (id == object->end() || !isRequestId(id->second)) return std::nullopt;
  if (method == object->end() || !method->second.isString()) return std::nullopt;
  return JsonRpcRequest{std::move(id->second), std::move(*method->second.asString()),
                        takeParams(*object)};
}

std::optional<JsonRpcNotification> takeJsonRpcNotification(JsonValue& message) {
  JsonObject* object = message.asObject();
  if (object == nullptr || !hasJsonRpcVersion(*object)) return std::nullopt;
  const auto method = object->find("method");
  if (method == object->end() || !method->second.isString()) return std::nullopt;
  return JsonRpcNotification{std::move(*method->second.asString()), takeParams(*object)};
}

JsonValue successResponse(const JsonValue& id, JsonValue result) {
  JsonObject response;
  response.emplace("id", id);
  response.emplace("jsonrpc", std::string(session_texts::kJsonRpcVersion));
  response.emplace("result", std::move(result));
  return response;
}

JsonValue errorResponse(const JsonValue& id, const ProtocolError& error) {
  JsonObject body;
  body.emplace("code", error.code());
  body.emplace("message", error.message());
  if (error.detail()) body.emplace("data", JsonObject{{"detail", *error.detail()}});
  JsonObject response;
  response.emplace("error", std::move(body));
  response.emplace("id", id);
  response.emplace("jsonrpc", std::string(session_texts::kJsonRpcVersion));
  return response;
}

}  // namespace tindrel
