// The fixed catalogue of the four tools and its JSON form for tools/list.

#include <string>
#include <utility>
#include <vector>

#include "tools/mcp_bridge.h"
#include "tools/tool_texts.h"

namespace tindrel {

namespace {

namespace texts = tool_texts;

// An inputSchema: "required" and "additionalProperties" are always written, so
// a tool without parameters still announces an empty list and a closed object.
JsonValue schema(JsonObject properties, const std::vector<std::string_view>& required) {
  JsonArray requiredNames;
  requiredNames.reserve(required.size());
  for (const std::string_view name : required) requiredNames.emplace_back(name);
  return JsonObject{{"type", "object"},
                    {"properties", std::move(properties)},
                    {"required", std::move(requiredNames)},
                    {"additionalProperties", false}};
}

// Every tool's result is an object with any members, success or failure.
JsonValue outputSchema() { return JsonObject{{"type", "object"}, {"additionalProperties", true}}; }

// The one jobId property shared by both job tools.
JsonValue jobID() {
  return JsonObject{
      {"type", "string"}, {"format", "uuid"}, {"description", texts::kJobIdDescription}};
}

ToolAnnotations readOnlyLocal() {
  ToolAnnotations annotations;
  annotations.readOnlyHint = true;
  annotations.openWorldHint = false;
  return annotations;
}

std::vector<ToolDefinition> buildCatalogue() {
  const JsonValue jobId = jobID();
  std::vector<ToolDefinition> tools;
  tools.reserve(4);

  tools.push_back(ToolDefinition{
      .name = std::string(texts::kHealth),
      .title = std::nullopt,
      .description = std::string(texts::kHealthDescription),
      .inputSchema = schema(JsonObject{}, {}),
      .outputSchema = outputSchema(),
      .annotations = readOnlyLocal(),
  });

  ToolAnnotations transcribeAnnotations;
  transcribeAnnotations.readOnlyHint = false;
  transcribeAnnotations.destructiveHint = false;
  transcribeAnnotations.idempotentHint = false;
  transcribeAnnotations.openWorldHint = false;
  tools.push_back(ToolDefinition{
      .name = std::string(texts::kTranscribe),
      .title = std::nullopt,
      .description = std::string(texts::kTranscribeDescription),
      .inputSchema = schema(
          JsonObject{
              {"filePath", JsonObject{{"type", "string"},
                                      {"minLength", 1},
                                      {"pattern", "^/"},
                                      {"description", texts::kFilePathDescription}}},
              {"idempotencyKey", JsonObject{{"type", "string"},
                                            {"minLength", 1},
                                            {"maxLength", 200},
                                            {"description", texts::kIdempotencyKeyDescription}}},
              {"includeTimestamps", JsonObject{{"type", "boolean"}, {"default", false}}},
              {"identifySpeakers",
               JsonObject{{"type", "boolean"},
                          {"default", false},
                          {"description", texts::kIdentifySpeakersDescription}}},
          },
          {"filePath", "idempotencyKey"}),
      .outputSchema = outputSchema(),
      .annotations = transcribeAnnotations,
  });

  tools.push_back(ToolDefinition{
      .name = std::string(texts::kGetJob),
      .title = std::nullopt,
      .description = std::string(texts::kGetJobDescription),
      .inputSchema = schema(JsonObject{{"jobId", jobId}}, {"jobId"}),
      .outputSchema = outputSchema(),
      .annotations = readOnlyLocal(),
  });

  tools.push_back(ToolDefinition{
      .name = std::string(texts::kGetResult),
      .title = std::nullopt,
      .description = std::string(texts::kGetResultDescription),
      .inputSchema = schema(
          JsonObject{
              {"jobId", jobId},
              {"format",
               JsonObject{
                   {"type", "string"}, {"enum", JsonArray{"text", "json"}}, {"default", "text"}}},
              {"offset", JsonObject{{"type", "integer"}, {"minimum", 0}, {"default", 0}}},
              {"maxCharacters",
               JsonObject{
                   {"type", "integer"}, {"minimum", 1}, {"maximum", 16000}, {"default", 16000}}},
          },
          {"jobId"}),
      .outputSchema = outputSchema(),
      .annotations = readOnlyLocal(),
  });
  return tools;
}

}  // namespace

JsonValue ToolDefinition::toJson() const {
  JsonObject entry{{"name", name}, {"inputSchema", inputSchema}};
  if (title) entry.emplace("title", *title);
  if (description) entry.emplace("description", *description);
  if (outputSchema) entry.emplace("outputSchema", *outputSchema);

  // An unset hint is absent, never null or false; the whole member is left out
  // when nothing in it is set.
  JsonObject hints;
  if (annotations.title) hints.emplace("title", *annotations.title);
  if (annotations.destructiveHint) hints.emplace("destructiveHint", *annotations.destructiveHint);
  if (annotations.idempotentHint) hints.emplace("idempotentHint", *annotations.idempotentHint);
  if (annotations.openWorldHint) hints.emplace("openWorldHint", *annotations.openWorldHint);
  if (annotations.readOnlyHint) hints.emplace("readOnlyHint", *annotations.readOnlyHint);
  if (!hints.empty()) entry.emplace("annotations", std::move(hints));
  return entry;
}

const std::vector<ToolDefinition>& MCPBridge::tools() {
  // A function-local static: built once on first use, and concurrent first
  // uses wait for that one construction.
  static const std::vector<ToolDefinition> catalogue = buildCatalogue();
  return catalogue;
}

JsonValue MCPBridge::toolsListResult() {
  static const JsonValue result = [] {
    JsonArray entries;
    entries.reserve(tools().size());
    for (const ToolDefinition& tool : tools()) entries.push_back(tool.toJson());
    return JsonValue(JsonObject{{"tools", std::move(entries)}});
  }();
  return result;
}

}  // namespace tindrel
