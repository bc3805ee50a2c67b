// Job answers as the two job tools return them: states, poll hints, recovery
// paths, and transcript pages in Unicode scalar offsets.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "json/json_reader.h"
#include "json/json_writer.h"
#include "local_api/bridge_error.h"
#include "tool_test_support.h"
#include "tools/job_reading.h"
#include "tools/mcp_bridge.h"

namespace tindrel {
namespace {

using testing_support::FakeLocalAPI;
using testing_support::object;

constexpr const char* kJobId = "5B1C3F0E-8A2D-4C6B-9E7F-0A1B2C3D4E5F";

const JobReading kGetJob{};
const JobReading kGetResult{.tool = JobTool::getResult};

JobReading page(std::int64_t offset, std::int64_t maxCharacters,
                TranscriptFormat format = TranscriptFormat::text) {
  return JobReading{JobTool::getResult, format, offset, maxCharacters};
}

struct JobCase {
  const char* label;
  const char* answer;
  JobReading reading;
  const char* expectedPayload;
  bool expectedError;
};

TEST(JobReadingTest, StatesAreInterpretedPerTool) {
  const std::vector<JobCase> cases = {
      // tindrel_get_job
      {"completed: result removed, no hint",
       R"({"status":"completed","progress":1,"result":{"utterances":[]}})", kGetJob,
       R"({"progress":1,"status":"completed"})", false},
      {"queued gets the hint", R"({"status":"queued","agentMessage":"m"})", kGetJob,
       R"({"agentMessage":"m","nextPollAfterSeconds":2,"status":"queued"})", false},
      {"running replaces a hint the service sent",
       R"({"status":"transcribing","nextPollAfterSeconds":30})", kGetJob,
       R"({"nextPollAfterSeconds":2,"status":"transcribing"})", false},
      {"status in capitals is pending", R"({"status":"COMPLETED"})", kGetJob,
       R"({"nextPollAfterSeconds":2,"status":"COMPLETED"})", false},
      {"missing status is pending", R"({"jobId":"j"})", kGetJob,
       R"({"jobId":"j","nextPollAfterSeconds":2})", false},
      {"non-string status is pending", R"({"status":3})", kGetJob,
       R"({"nextPollAfterSeconds":2,"status":3})", false},

      // terminal failures, the same for both tools
      {"failed without errorCode", R"({"status":"failed","result":{"utterances":[]}})", kGetJob,
       R"({"code":"pipeline_failed","status":"failed"})", true},
      {"failed with string errorCode replaces code",
       R"({"status":"failed","errorCode":"model_missing","code":"old","error":"e"})", kGetJob,
       R"({"code":"model_missing","error":"e","errorCode":"model_missing","status":"failed"})",
       true},
      {"errorCode of any type is copied", R"({"status":"failed","errorCode":{"n":[1,null]}})",
       kGetJob, R"({"code":{"n":[1,null]},"errorCode":{"n":[1,null]},"status":"failed"})", true},
      {"errorCode null is still present", R"({"status":"failed","errorCode":null})", kGetJob,
       R"({"code":null,"errorCode":null,"status":"failed"})", true},
      {"cancelled", R"({"status":"cancelled"})", kGetJob,
       R"({"code":"cancelled","status":"cancelled"})", true},
      {"interrupted, for get_result too", R"({"status":"interrupted","nextPollAfterSeconds":5})",
       kGetResult, R"({"code":"interrupted","nextPollAfterSeconds":5,"status":"interrupted"})",
       true},
      {"failed job read as result is the failure", R"({"status":"failed","errorCode":7})",
       kGetResult, R"({"code":7,"errorCode":7,"status":"failed"})", true},

      // tindrel_get_result while pending
      {"queued result not ready",
       R"({"status":"queued","code":"x","error":"y","nextPollAfterSeconds":9})", kGetResult,
       R"({"code":"result_not_ready","error":"This job is queued and waiting to start. It may be )"
       R"(waiting for another imported job, foreground recording/dictation, or audio storage )"
       R"(maintenance. Check progressDescription and agentMessage for details.",)"
       R"("nextPollAfterSeconds":2,"recoverySuggestion":"Keep polling tindrel_get_job, then read )"
       R"(the result when completed. Do not resubmit or interrupt the user's active recording or )"
       R"(dictation.","status":"queued"})",
       true},
      {"running result not ready", R"({"status":"transcribing","progress":0.5})", kGetResult,
       R"({"code":"result_not_ready","error":"Transcription is still running.",)"
       R"("nextPollAfterSeconds":2,"progress":0.5,"recoverySuggestion":"Poll tindrel_get_job, )"
       R"(then read the result when completed.","status":"transcribing"})",
       true},
      {"capitalised completed is still running",
       R"({"status":"Completed","result":{"utterances":[{"text":"a"}]}})", kGetResult,
       R"({"code":"result_not_ready","error":"Transcription is still running.",)"
       R"("nextPollAfterSeconds":2,"recoverySuggestion":"Poll tindrel_get_job, )"
       R"(then read the result when completed.","status":"Completed"})",
       true},

      // tindrel_get_result on a completed job
      {"text joins string texts only, replacing members",
       R"({"status":"completed","text":"old","offset":9,"code":"c","result":{"utterances":[)"
       R"({"text":"first"},{"text":5},{},"loose",{"speaker":"S1"},{"text":""},{"text":"last"}]}})",
       kGetResult,
       R"({"code":"c","format":"text","nextOffset":null,"offset":0,"status":"completed",)"
       R"("text":"first\n\nlast","totalCharacters":11})",
       false},
      {"empty utterances", R"({"status":"completed","result":{"utterances":[]}})", kGetResult,
       R"({"format":"text","nextOffset":null,"offset":0,"status":"completed","text":"",)"
       R"("totalCharacters":0})",
       false},
      {"offset equal to the total",
       R"({"status":"completed","result":{"utterances":[{"text":"abc"}]}})", page(3, 16000),
       R"({"format":"text","nextOffset":null,"offset":3,"status":"completed","text":"",)"
       R"("totalCharacters":3})",
       false},
      {"page shorter than the rest",
       R"({"status":"completed","result":{"utterances":[{"text":"abcdef"}]}})", page(1, 2),
       R"({"format":"text","nextOffset":3,"offset":1,"status":"completed","text":"bc",)"
       R"("totalCharacters":6})",
       false},
      {"json is the whole result, sorted, slashes raw",
       R"({"status":"completed","result":{"utterances":[{"text":"a/b","end":1.5}],"lang":"en"}})",
       page(0, 16000, TranscriptFormat::json),
       R"({"format":"json","nextOffset":null,"offset":0,"status":"completed",)"
       R"("text":"{\"lang\":\"en\",\"utterances\":[{\"end\":1.5,\"text\":\"a/b\"}]}",)"
       R"("totalCharacters":53})",
       false},
  };
  const char* unavailable =
      R"("code":"result_unavailable","error":"The job has no inline transcript.",)"
      R"("recoverySuggestion":"Open the outputMarkdownPath or outputJSONPath in Tindrel. The output )"
      R"(files and original audio are unchanged.","status":"completed"})";
  struct Unavailable {
    const char* label;
    const char* answer;
  };
  const std::vector<Unavailable> unavailableCases = {
      {"result missing", R"({"status":"completed"})"},
      {"result empty", R"({"status":"completed","result":{}})"},
      {"result without utterances", R"({"status":"completed","result":{"segments":[]}})"},
      {"utterances as object", R"({"status":"completed","result":{"utterances":{"text":"a"}}})"},
      {"result as array", R"({"status":"completed","result":[{"utterances":[]}]})"},
  };

  for (const JobCase& testCase : cases) {
    SCOPED_TRACE(testCase.label);
    const ToolPayload payload = interpretJobAnswer(object(testCase.answer), testCase.reading);
    EXPECT_EQ(JsonValue(payload.payload), readJson(testCase.expectedPayload));
    EXPECT_EQ(payload.isError, testCase.expectedError);
  }
  for (const Unavailable& testCase : unavailableCases) {
    SCOPED_TRACE(testCase.label);
    for (const TranscriptFormat format : {TranscriptFormat::text, TranscriptFormat::json}) {
      const ToolPayload payload =
          interpretJobAnswer(object(testCase.answer), page(0, 16000, format));
      EXPECT_EQ(JsonValue(payload.payload), readJson(std::string("{") + unavailable));
      EXPECT_TRUE(payload.isError);
    }
  }
}

class RecoveryPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tindrel-recovery-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    directory_ = pattern;
    existing_ = directory_ / "kept.m4a";
    std::ofstream(existing_) << "audio";
    std::filesystem::create_symlink(existing_, directory_ / "link.m4a");
    std::filesystem::create_symlink(directory_ / "gone.m4a", directory_ / "dangling.m4a");
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::string path(const char* name) const { return (directory_ / name).string(); }

  std::filesystem::path directory_;
  std::filesystem::path existing_;
};

TEST_F(RecoveryPathTest, SourceStandsInOnlyWhenItExists) {
  struct Case {
    const char* label;
    JsonObject answer;
    std::optional<JsonValue> expectedRecovery;  // unset: no recoveryFilePath member
  };
  const std::string kept = path("kept.m4a");
  const std::vector<Case> cases = {
      {"existing source", JsonObject{{"sourceFilePath", kept}}, JsonValue(kept)},
      {"existing directory", JsonObject{{"sourceFilePath", directory_.string()}},
       JsonValue(directory_.string())},
      {"link to an existing file", JsonObject{{"sourceFilePath", path("link.m4a")}},
       JsonValue(path("link.m4a"))},
      {"dangling link", JsonObject{{"sourceFilePath", path("dangling.m4a")}}, std::nullopt},
      {"removed source", JsonObject{{"sourceFilePath", path("gone.m4a")}}, std::nullopt},
      {"source with NUL naming an existing prefix",
       JsonObject{{"sourceFilePath", kept + std::string("\0x", 2)}}, std::nullopt},
      {"source not a string", JsonObject{{"sourceFilePath", 5}}, std::nullopt},
      {"null recovery replaced when the source exists",
       JsonObject{{"sourceFilePath", kept}, {"recoveryFilePath", nullptr}}, JsonValue(kept)},
      {"null recovery kept when the source is gone",
       JsonObject{{"sourceFilePath", path("gone.m4a")}, {"recoveryFilePath", nullptr}},
       JsonValue(nullptr)},
      {"string recovery kept without any test",
       JsonObject{{"sourceFilePath", kept}, {"recoveryFilePath", "/nowhere/r.m4a"}},
       JsonValue("/nowhere/r.m4a")},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.label);
    for (const JobReading& reading : {kGetJob, kGetResult}) {
      JsonObject answer = testCase.answer;
      answer.emplace("status", "failed");
      const ToolPayload payload = interpretJobAnswer(std::move(answer), reading);
      EXPECT_TRUE(payload.isError);
      const auto recovery = payload.payload.find("recoveryFilePath");
      if (testCase.expectedRecovery) {
        ASSERT_NE(recovery, payload.payload.end());
        EXPECT_EQ(recovery->second, *testCase.expectedRecovery);
      } else {
        EXPECT_EQ(recovery, payload.payload.end());
      }
    }
  }
}

// A transcript mixing astral characters, combining marks, emoji sequences
// and line breaks; `scalars` is its length in Unicode scalars.
struct Transcript {
  JsonObject job;
  std::string text;
  std::size_t scalars;
};

Transcript mixedTranscript() {
  // "e" + U+0301 is two scalars; the family emoji is five (three people, two
  // joiners); U+1D11E is one astral scalar.
  const std::vector<std::pair<std::string, std::size_t>> lines = {
      {"Caf\u00E9 cre\u0300me", 11},
      {"\U0001F468\u200D\U0001F469\u200D\U0001F467 family", 12},
      {"\U0001D11E clef / \u65E5\u672C\u8A9E", 12},
      {"", 0},
  };
  JsonArray utterances;
  std::string text;
  std::size_t scalars = 0;
  for (std::size_t index = 0; index < lines.size(); ++index) {
    const auto& [line, count] = lines[index];
    JsonObject utterance;
    utterance.emplace("text", line);
    utterance.emplace("start", 1.25);
    utterances.emplace_back(std::move(utterance));
    if (index > 0) {
      text += '\n';
      ++scalars;
    }
    text += line;
    scalars += count;
  }
  JsonObject job{{"status", "completed"},
                 {"result", JsonObject{{"utterances", std::move(utterances)}}}};
  return {std::move(job), std::move(text), scalars};
}

// Reads every page in order the way a client does, following nextOffset.
std::string readAllPages(const JsonObject& job, TranscriptFormat format, std::int64_t pageSize,
                         std::size_t expectedTotal) {
  std::string joined;
  std::int64_t offset = 0;
  for (int guard = 0; guard < 10000; ++guard) {
    const ToolPayload payload = interpretJobAnswer(job, page(offset, pageSize, format));
    EXPECT_FALSE(payload.isError);
    EXPECT_EQ(payload.payload.at("totalCharacters"),
              JsonValue(static_cast<std::int64_t>(expectedTotal)));
    joined += *payload.payload.at("text").asString();
    const JsonValue& next = payload.payload.at("nextOffset");
    if (next.isNull()) return joined;
    EXPECT_EQ(*next.asInteger(), offset + pageSize);
    offset = *next.asInteger();
  }
  ADD_FAILURE() << "nextOffset never became null";
  return joined;
}

TEST(TranscriptPagingTest, PagesJoinBackIntoTheTranscript) {
  const Transcript transcript = mixedTranscript();
  for (const std::int64_t pageSize : {1, 2, 3, 7, 16000}) {
    SCOPED_TRACE(pageSize);
    EXPECT_EQ(readAllPages(transcript.job, TranscriptFormat::text, pageSize, transcript.scalars),
              transcript.text);

    const JsonValue& result = transcript.job.at("result");
    const std::string json = writeJson(result);
    const std::string joinedJson =
        readAllPages(transcript.job, TranscriptFormat::json, pageSize,
                     // Every character of the JSON text beyond ASCII is also in the
                     // transcript, so its scalar count follows from the two byte lengths.
                     json.size() - (transcript.text.size() - transcript.scalars));
    EXPECT_EQ(readJson(joinedJson), result);
  }
}

TEST(TranscriptPagingTest, PageBoundariesCountScalars) {
  // 16001 scalars, each four bytes in UTF-8.
  std::string text;
  for (int index = 0; index < 16001; ++index) text += "\U0001F3B5";
  const JsonObject job{
      {"status", "completed"},
      {"result", JsonObject{{"utterances", JsonArray{JsonObject{{"text", text}}}}}}};

  const ToolPayload first = interpretJobAnswer(job, kGetResult);
  EXPECT_EQ(first.payload.at("totalCharacters"), JsonValue(16001));
  EXPECT_EQ(first.payload.at("nextOffset"), JsonValue(16000));
  EXPECT_EQ(first.payload.at("text").asString()->size(), 16000u * 4);

  const ToolPayload last = interpretJobAnswer(job, page(16000, 16000));
  EXPECT_EQ(last.payload.at("text"), JsonValue("\U0001F3B5"));
  EXPECT_EQ(last.payload.at("nextOffset"), JsonValue(nullptr));

  EXPECT_THROW(interpretJobAnswer(job, page(16002, 1)), BridgeError);
}

TEST(TranscriptPagingTest, OffsetBeyondTheTranscriptIsThePlainArgumentError) {
  // Through the whole call: the job answer is not shown, only the error object.
  const auto service = std::make_shared<FakeLocalAPI>(
      object(R"({"status":"completed","progress":1,"result":{"utterances":[{"text":"ab"}]}})"));
  const MCPBridge bridge(service);
  const ToolCallResult result =
      bridge.call("tindrel_get_result", JsonObject{{"jobId", kJobId}, {"offset", 3}});
  EXPECT_TRUE(result.isError);
  EXPECT_EQ(
      result.text,
      R"({"code":"invalid_arguments","error":"offset exceeds totalCharacters.",)"
      R"("recoverySuggestion":"Correct the request and retry. The original audio is unchanged."})");
}

TEST(TranscriptPagingTest, UnwritableJsonResultFailsOnlyTheJsonForm) {
  // 1e400 reads as infinity: the text form never writes it, the JSON form cannot.
  const auto service = std::make_shared<FakeLocalAPI>(object(
      R"({"status":"completed","result":{"utterances":[{"text":"hi","confidence":1e400}]}})"));
  const MCPBridge bridge(service);

  const ToolCallResult asText = bridge.call("tindrel_get_result", JsonObject{{"jobId", kJobId}});
  EXPECT_FALSE(asText.isError);
  EXPECT_EQ(asText.structuredContent.at("text"), JsonValue("hi"));

  const ToolCallResult asJson =
      bridge.call("tindrel_get_result", JsonObject{{"jobId", kJobId}, {"format", "json"}});
  EXPECT_TRUE(asJson.isError);
  EXPECT_EQ(asJson.structuredContent.at("code"), JsonValue("bridge_failed"));
}

}  // namespace
}  // namespace tindrel
