// The tools/list result, as the bytes a client receives.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/json_writer.h"
#include "tool_test_support.h"
#include "tools/mcp_bridge.h"

namespace tindrel {
namespace {

// Every client sees exactly these bytes: order of the tools, every description,
// every schema keyword, which hints are present, and the absence of any title.
constexpr const char* kExpectedToolsList =
    R"({"tools":[)"
    // tindrel_health
    R"({"annotations":{"openWorldHint":false,"readOnlyHint":true},)"
    R"("description":"Check the running Tindrel app and local model readiness. No audio is submitted.",)"
    R"("inputSchema":{"additionalProperties":false,"properties":{},"required":[],"type":"object"},)"
    R"("name":"tindrel_health",)"
    R"("outputSchema":{"additionalProperties":true,"type":"object"}},)"
    // tindrel_transcribe
    R"({"annotations":{"destructiveHint":false,"idempotentHint":false,"openWorldHint":false,"readOnlyHint":false},)"
    R"("description":"Queue a local audio/video file for on-device transcription. Returns a jobId without waiting for transcription. Choose one stable idempotencyKey per recording and options; reuse it after connection timeouts to avoid duplicate jobs. The app preserves audio before queueing. Poll tindrel_get_job every 2 seconds; then use tindrel_get_result. Timestamps and slower speaker identification are opt-in. This tool never deletes the source audio.",)"
    R"("inputSchema":{"additionalProperties":false,"properties":{)"
    R"("filePath":{"description":"Absolute audio/video file path on this Mac, not a URL.","minLength":1,"pattern":"^/","type":"string"},)"
    R"("idempotencyKey":{"description":"Stable unique key for this recording and options; reuse on retry.","maxLength":200,"minLength":1,"type":"string"},)"
    R"("identifySpeakers":{"default":false,"description":"Slower speaker identification; implies timestamps.","type":"boolean"},)"
    R"("includeTimestamps":{"default":false,"type":"boolean"}},)"
    R"("required":["filePath","idempotencyKey"],"type":"object"},)"
    R"("name":"tindrel_transcribe",)"
    R"("outputSchema":{"additionalProperties":true,"type":"object"}},)"
    // tindrel_get_job
    R"({"annotations":{"openWorldHint":false,"readOnlyHint":true},)"
    R"("description":"Get job status, progress, heartbeat and recovery paths. Completed, failed and cancelled are terminal. A failed job returns isError with its recoveryFilePath; retry that audio after fixing the cause. Queued jobs can be waiting for foreground recording or dictation to finish: keep polling the same job and do not resubmit or cancel the user's work. Poll active jobs no faster than every 2 seconds. Use tindrel_get_result for the transcript.",)"
    R"("inputSchema":{"additionalProperties":false,"properties":{)"
    R"("jobId":{"description":"The jobId returned by tindrel_transcribe.","format":"uuid","type":"string"}},)"
    R"("required":["jobId"],"type":"object"},)"
    R"("name":"tindrel_get_job",)"
    R"("outputSchema":{"additionalProperties":true,"type":"object"}},)"
    // tindrel_get_result
    R"({"annotations":{"openWorldHint":false,"readOnlyHint":true},)"
    R"("description":"Read a completed transcript through MCP. text returns utterance text joined with newlines; json returns serialized ASR result including timestamps/speaker labels. Results are paged by Unicode scalar offsets: append text pages and follow nextOffset until null; parse JSON only after assembling all pages. No file-reading tool is required. Pending jobs return result_not_ready; a queued job can be waiting for foreground recording or dictation, so keep polling the same job without resubmitting or interrupting the user's active work. Failed jobs retain recovery paths.",)"
    R"("inputSchema":{"additionalProperties":false,"properties":{)"
    R"("format":{"default":"text","enum":["text","json"],"type":"string"},)"
    R"("jobId":{"description":"The jobId returned by tindrel_transcribe.","format":"uuid","type":"string"},)"
    R"("maxCharacters":{"default":16000,"maximum":16000,"minimum":1,"type":"integer"},)"
    R"("offset":{"default":0,"minimum":0,"type":"integer"}},)"
    R"("required":["jobId"],"type":"object"},)"
    R"("name":"tindrel_get_result",)"
    R"("outputSchema":{"additionalProperties":true,"type":"object"}})"
    R"(]})";

TEST(CatalogueTest, ToolsListResultIsExactlyTheFourTools) {
  EXPECT_EQ(writeJson(MCPBridge::toolsListResult()), kExpectedToolsList);
  // Schema numbers are integers, not doubles that happen to print alike.
  EXPECT_EQ(MCPBridge::toolsListResult(), readJson(kExpectedToolsList));
}

TEST(CatalogueTest, DefinitionWritesOnlyWhatIsSet) {
  struct Case {
    const char* label;
    ToolDefinition definition;
    const char* expected;
  };
  const JsonValue emptySchema = JsonObject{};
  const std::vector<Case> cases = {
      {"nothing optional set", ToolDefinition{"t", {}, {}, emptySchema, {}, {}},
       R"({"inputSchema":{},"name":"t"})"},
      {"title and one hint false",
       ToolDefinition{"t", "Title", "d", emptySchema, {}, ToolAnnotations{"A", {}, false, {}, {}}},
       R"({"annotations":{"idempotentHint":false,"title":"A"},"description":"d",)"
       R"("inputSchema":{},"name":"t","title":"Title"})"},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.label);
    EXPECT_EQ(writeJson(testCase.definition.toJson()), testCase.expected);
  }
}

}  // namespace
}  // namespace tindrel
