// MCPBridge::call: the catalogue test, argument validation in its order and
// with its texts, the one request of each tool, and failures as results.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "json/json_writer.h"
#include "local_api/bridge_error.h"
#include "tool_test_support.h"
#include "tools/mcp_bridge.h"

namespace tindrel {
namespace {

using testing_support::FakeLocalAPI;
using testing_support::object;

constexpr const char* kJobId = "5b1c3f0e-8a2d-4c6b-9e7f-0a1b2c3d4e5f";
constexpr const char* kJobPath = "/api/v1/jobs/5B1C3F0E-8A2D-4C6B-9E7F-0A1B2C3D4E5F";
constexpr const char* kCorrect = "Correct the request and retry. The original audio is unchanged.";

std::string repeat(std::string_view unit, int count) {
  std::string text;
  for (int index = 0; index < count; ++index) text += unit;
  return text;
}

JsonObject transcribeArguments(JsonValue filePath, JsonValue key) {
  return JsonObject{{"filePath", std::move(filePath)}, {"idempotencyKey", std::move(key)}};
}

JsonObject withMember(JsonObject arguments, std::string key, JsonValue value) {
  arguments.insert_or_assign(std::move(key), std::move(value));
  return arguments;
}

JsonObject errorPayload(std::string code, std::string message, std::string suggestion = kCorrect) {
  return JsonObject{{"code", std::move(code)},
                    {"error", std::move(message)},
                    {"recoverySuggestion", std::move(suggestion)}};
}

struct ValidationCase {
  const char* label;
  const char* tool;
  JsonObject arguments;
  // Set: the call is refused with this (code, message) and sends nothing.
  // Unset: the call passes and sends `method` to `path`.
  std::optional<std::pair<std::string, std::string>> refusal;
  const char* method = "";
  const char* path = "";
};

std::vector<ValidationCase> validationCases() {
  const std::string unexpected = "Unexpected argument. Use the parameters in the tool schema.";
  const std::string badPath = "filePath must be an absolute local audio/video path.";
  const std::string badKey = "idempotencyKey is required and must contain 1\u2013200 characters.";
  const std::string badJob = "jobId must be the UUID returned by tindrel_transcribe.";
  const std::string badPaging =
      "Use format text/json, offset >= 0, and maxCharacters between 1 and 16000.";
  const auto refused = [](std::string code, std::string message) {
    return std::optional(std::pair(std::move(code), std::move(message)));
  };
  const auto unexpectedRefusal = refused("invalid_arguments", unexpected);
  const auto pathRefusal = refused("invalid_file_path", badPath);
  const auto keyRefusal = refused("invalid_arguments", badKey);
  const auto jobRefusal = refused("invalid_job_id", badJob);
  const auto pagingRefusal = refused("invalid_arguments", badPaging);
  const JsonObject transcribe = transcribeArguments("/Users/ana/a.m4a", "key-1");
  const JsonObject getJob{{"jobId", kJobId}};

  return {
      // Health takes no arguments at all.
      {"health without arguments", "tindrel_health", {}, {}, "GET", "/api/v1/health"},
      {"health with any member", "tindrel_health", object(R"({"verbose":null})"),
       unexpectedRefusal},

      // The unexpected-argument test comes before every value rule.
      {"extra member beside a bad path", "tindrel_transcribe",
       withMember(transcribeArguments("relative.m4a", "k"), "language", "en"), unexpectedRefusal},
      {"transcribe without arguments", "tindrel_transcribe", {}, pathRefusal},
      {"relative path", "tindrel_transcribe", transcribeArguments("a/b.m4a", "k"), pathRefusal},
      {"tilde path", "tindrel_transcribe", transcribeArguments("~/a.m4a", "k"), pathRefusal},
      {"file URL", "tindrel_transcribe", transcribeArguments("file:///a.m4a", "k"), pathRefusal},
      {"empty path", "tindrel_transcribe", transcribeArguments("", "k"), pathRefusal},
      {"path with NUL", "tindrel_transcribe", transcribeArguments(std::string("/a\0b.m4a", 8), "k"),
       pathRefusal},
      {"path as number", "tindrel_transcribe", transcribeArguments(5, "k"), pathRefusal},
      {"path as byte data", "tindrel_transcribe",
       object(R"({"filePath":"data:text/plain;base64,L2EubTRh","idempotencyKey":"k"})"),
       pathRefusal},
      {"root alone passes",
       "tindrel_transcribe",
       transcribeArguments("/", "k"),
       {},
       "POST",
       "/api/v1/transcribe"},

      {"key missing", "tindrel_transcribe", JsonObject{{"filePath", "/a.m4a"}}, keyRefusal},
      {"key of spaces", "tindrel_transcribe", transcribeArguments("/a.m4a", "   "), keyRefusal},
      {"key of Unicode spaces and line breaks", "tindrel_transcribe",
       transcribeArguments("/a.m4a", "\u3000\u2028\r\n\u0085\u00A0"), keyRefusal},
      {"key as number", "tindrel_transcribe", transcribeArguments("/a.m4a", 7), keyRefusal},
      {"key as byte data", "tindrel_transcribe",
       object(R"({"filePath":"/a.m4a","idempotencyKey":"data:,abc"})"), keyRefusal},
      {"key of 200 emoji",
       "tindrel_transcribe",
       transcribeArguments("/a.m4a", repeat("\U0001F600", 200)),
       {},
       "POST",
       "/api/v1/transcribe"},
      {"key of 201 emoji", "tindrel_transcribe",
       transcribeArguments("/a.m4a", repeat("\U0001F600", 201)), keyRefusal},
      {"key of 200 letters with combining marks (400 scalars)",
       "tindrel_transcribe",
       transcribeArguments("/a.m4a", repeat("e\u0301", 200)),
       {},
       "POST",
       "/api/v1/transcribe"},
      {"key of 201 letters", "tindrel_transcribe", transcribeArguments("/a.m4a", repeat("k", 201)),
       keyRefusal},

      {"timestamps as string", "tindrel_transcribe",
       withMember(transcribe, "includeTimestamps", "true"),
       refused("invalid_arguments", "includeTimestamps must be a boolean.")},
      {"timestamps as 1", "tindrel_transcribe", withMember(transcribe, "includeTimestamps", 1),
       refused("invalid_arguments", "includeTimestamps must be a boolean.")},
      {"timestamps as null", "tindrel_transcribe",
       withMember(transcribe, "includeTimestamps", nullptr),
       refused("invalid_arguments", "includeTimestamps must be a boolean.")},
      {"both flags wrong", "tindrel_transcribe",
       withMember(withMember(transcribe, "identifySpeakers", "yes"), "includeTimestamps", 0),
       refused("invalid_arguments", "includeTimestamps must be a boolean.")},
      {"speakers wrong", "tindrel_transcribe",
       withMember(withMember(transcribe, "identifySpeakers", "yes"), "includeTimestamps", true),
       refused("invalid_arguments", "identifySpeakers must be a boolean.")},

      {"lower-case jobId", "tindrel_get_job", getJob, {}, "GET", kJobPath},
      {"jobId of digits", "tindrel_get_job", JsonObject{{"jobId", "12345"}}, jobRefusal},
      {"empty jobId", "tindrel_get_job", JsonObject{{"jobId", ""}}, jobRefusal},
      {"jobId as number", "tindrel_get_job", JsonObject{{"jobId", 12345}}, jobRefusal},
      {"jobId missing", "tindrel_get_job", {}, jobRefusal},
      {"jobId in braces", "tindrel_get_job",
       JsonObject{{"jobId", "{5b1c3f0e-8a2d-4c6b-9e7f-0a1b2c3d4e5f}"}}, jobRefusal},
      {"format on get_job", "tindrel_get_job", withMember(getJob, "format", "text"),
       unexpectedRefusal},

      {"result with every option",
       "tindrel_get_result",
       object(std::string(R"({"jobId":")") + kJobId +
              R"(","format":"json","offset":0,"maxCharacters":16000})"),
       {},
       "GET",
       kJobPath},
      {"bad jobId reported before bad format", "tindrel_get_result",
       JsonObject{{"jobId", "x"}, {"format", "TEXT"}}, jobRefusal},
      {"format in capitals", "tindrel_get_result", withMember(getJob, "format", "TEXT"),
       pagingRefusal},
      {"format as null", "tindrel_get_result", withMember(getJob, "format", nullptr),
       pagingRefusal},
      {"offset -1", "tindrel_get_result", withMember(getJob, "offset", -1), pagingRefusal},
      {"offset 1.5", "tindrel_get_result", withMember(getJob, "offset", 1.5), pagingRefusal},
      {"offset as string", "tindrel_get_result", withMember(getJob, "offset", "3"), pagingRefusal},
      {"maxCharacters 0", "tindrel_get_result", withMember(getJob, "maxCharacters", 0),
       pagingRefusal},
      {"maxCharacters 16001", "tindrel_get_result", withMember(getJob, "maxCharacters", 16001),
       pagingRefusal},
  };
}

TEST(DispatchTest, ArgumentsAreValidatedBeforeAnyRequest) {
  for (const ValidationCase& testCase : validationCases()) {
    SCOPED_TRACE(testCase.label);
    const auto service = std::make_shared<FakeLocalAPI>(object(R"({"status":"queued"})"));
    const MCPBridge bridge(service);
    const ToolCallResult result = bridge.call(testCase.tool, testCase.arguments);
    const auto requests = service->requests();
    if (testCase.refusal) {
      EXPECT_TRUE(result.isError);
      EXPECT_EQ(result.structuredContent,
                errorPayload(testCase.refusal->first, testCase.refusal->second));
      EXPECT_TRUE(requests.empty());
    } else {
      ASSERT_EQ(requests.size(), 1u);
      EXPECT_EQ(requests[0].method, testCase.method);
      EXPECT_EQ(requests[0].path, testCase.path);
      // The transcribe body is the arguments exactly as received; the other
      // tools send none.
      if (testCase.method == std::string("POST")) {
        EXPECT_EQ(requests[0].body, testCase.arguments);
      } else {
        EXPECT_FALSE(requests[0].body.has_value());
      }
    }
  }
}

TEST(DispatchTest, TranscribeSendsKeyUntouchedAndNoDefaults) {
  const auto service = std::make_shared<FakeLocalAPI>(
      object(R"({"jobId":"J","nextPollAfterSeconds":30,"status":"queued"})"));
  const MCPBridge bridge(service);
  const JsonObject arguments = transcribeArguments("/Users/ana/a.m4a", " k ");
  const ToolCallResult result = bridge.call("tindrel_transcribe", arguments);

  ASSERT_EQ(service->requests().size(), 1u);
  EXPECT_EQ(service->requests()[0].body, arguments);
  EXPECT_FALSE(result.isError);
  EXPECT_EQ(result.structuredContent,
            object(R"({"jobId":"J","nextPollAfterSeconds":2,"status":"queued"})"));
}

TEST(DispatchTest, HealthAnswerIsPassedOnUnchanged) {
  const JsonObject answer = object(R"({"ready":true,"models":[{"name":"m","path":"/x/y"}]})");
  const MCPBridge bridge(std::make_shared<FakeLocalAPI>(answer));
  const ToolCallResult result = bridge.call("tindrel_health", {});
  EXPECT_FALSE(result.isError);
  EXPECT_EQ(result.structuredContent, answer);
  EXPECT_EQ(result.text, writeJson(answer));
}

TEST(DispatchTest, NamesOutsideTheCatalogueAreUnknownTools) {
  const auto service = std::make_shared<FakeLocalAPI>();
  const MCPBridge bridge(service);
  for (const char* name : {"Tindrel_Health", "TINDREL_GET_JOB", "tindrel_health ", "", "health"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(bridge.call(name, {}), UnknownToolError);
  }
  EXPECT_TRUE(service->requests().empty());
}

TEST(DispatchTest, RequestFailuresBecomeErrorResults) {
  struct Case {
    const char* label;
    std::exception_ptr failure;
    JsonObject expected;
  };
  const JsonObject bridgeFailed = errorPayload(
      "bridge_failed", "The local MCP adapter could not complete the request.",
      "Check Tindrel and retry with the same idempotencyKey. The original audio is unchanged.");
  const std::vector<Case> cases = {
      {"bridge error keeps its three texts",
       std::make_exception_ptr(BridgeError("service_unavailable",
                                           "Tindrel connection information is unavailable.", "R")),
       errorPayload("service_unavailable", "Tindrel connection information is unavailable.", "R")},
      {"any other failure hides its text",
       std::make_exception_ptr(std::runtime_error("/private/path: EACCES")), bridgeFailed},
      {"body write failure", std::make_exception_ptr(JsonWriteError("inf")), bridgeFailed},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.label);
    for (const char* tool : {"tindrel_health", "tindrel_get_job", "tindrel_get_result"}) {
      const auto service = std::make_shared<FakeLocalAPI>();
      service->failWith(testCase.failure);
      const JsonObject arguments =
          tool == std::string("tindrel_health") ? JsonObject{} : JsonObject{{"jobId", kJobId}};
      const ToolCallResult result = MCPBridge(service).call(tool, arguments);
      EXPECT_TRUE(result.isError);
      EXPECT_EQ(result.structuredContent, testCase.expected);
    }
  }
}

TEST(DispatchTest, AnswerThatCannotBeWrittenBecomesBridgeFailed) {
  // 1e400 reads as infinity, which JSON cannot carry.
  const MCPBridge bridge(std::make_shared<FakeLocalAPI>(object(R"({"load":1e400})")));
  const ToolCallResult result = bridge.call("tindrel_health", {});
  EXPECT_TRUE(result.isError);
  EXPECT_EQ(result.structuredContent.at("code"), JsonValue("bridge_failed"));
}

TEST(DispatchTest, AbortedRequestIsNotTurnedIntoAResult) {
  // A withdrawn call must stay unanswered: reporting it as a transport failure
  // would be a false result for a request the client no longer wants.
  const auto service = std::make_shared<FakeLocalAPI>();
  service->failWith(std::make_exception_ptr(RequestAborted()));
  const MCPBridge bridge(service);
  EXPECT_THROW(bridge.call("tindrel_get_job", JsonObject{{"jobId", kJobId}}), RequestAborted);
  EXPECT_THROW(bridge.call("tindrel_transcribe", transcribeArguments("/a.m4a", "k")),
               RequestAborted);
}

}  // namespace
}  // namespace tindrel
