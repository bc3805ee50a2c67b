// Job answers as the client sees them: states, poll hints, recovery paths and
// transcript pages.

#include "tools/job_reading.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "json/json_writer.h"
#include "local_api/bridge_error.h"
#include "text/unicode.h"
#include "tools/tool_texts.h"

namespace tindrel {

namespace {

namespace texts = tool_texts;

// Whether `path` names something that exists now. stat() rather than lstat():
// a symbolic link counts only when its target exists, since the client will
// open the target. A path with an embedded NUL cannot name a file; passing it
// to stat() would silently test a shorter path.
bool pathExists(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0;
}

void set(JsonObject& object, std::string_view key, JsonValue value) {
  const auto it = object.find(key);
  if (it != object.end()) {
    it->second = std::move(value);
  } else {
    object.emplace(std::string(key), std::move(value));
  }
}

bool isTerminalFailure(const std::string* status) {
  return status != nullptr &&
         (*status == "failed" || *status == "cancelled" || *status == "interrupted");
}

void markTerminalFailure(JsonObject& job, const std::string& status) {
  // Decide everything before writing: `code` must not be read back as errorCode.
  JsonValue code;
  if (const auto errorCode = job.find("errorCode"); errorCode != job.end()) {
    code = errorCode->second;
  } else if (status == "failed") {
    code = texts::kPipelineFailedCode;
  } else {
    code = status;
  }

  const auto recovery = job.find("recoveryFilePath");
  const bool hasRecoveryPath = recovery != job.end() && recovery->second.isString();
  if (!hasRecoveryPath) {
    const auto source = job.find("sourceFilePath");
    if (source != job.end()) {
      if (const std::string* sourcePath = source->second.asString();
          sourcePath != nullptr && pathExists(*sourcePath)) {
        set(job, "recoveryFilePath", *sourcePath);
      }
    }
  }
  set(job, "code", std::move(code));
}

// The utterance texts joined by line feeds. Elements that are not objects with
// a string `text` are skipped without leaving an empty line.
std::string joinUtteranceTexts(const JsonArray& utterances) {
  std::size_t length = 0;
  for (const JsonValue& utterance : utterances) {
    if (const JsonValue* text = utterance.find("text"); text != nullptr && text->isString()) {
      length += text->asString()->size() + 1;
    }
  }
  std::string joined;
  joined.reserve(length);
  bool first = true;
  for (const JsonValue& utterance : utterances) {
    const JsonValue* text = utterance.find("text");
    if (text == nullptr || !text->isString()) continue;
    if (!first) joined.push_back('\n');
    joined.append(*text->asString());
    first = false;
  }
  return joined;
}

// Sets the page members on `job`. The transcript is walked twice at most: one
// count of all scalars and one walk up to the end of the page.
void cutPage(JsonObject& job, std::string_view transcript, const JobReading& reading) {
  const std::size_t total = countScalars(transcript);
  const auto offset = static_cast<std::size_t>(reading.offset);
  if (offset > total) {
    throw BridgeError(std::string(texts::kInvalidArgumentsCode),
                      std::string(texts::kOffsetExceedsMessage),
                      std::string(texts::kCorrectRequestSuggestion));
  }
  const std::size_t pageLength =
      std::min(total - offset, static_cast<std::size_t>(reading.maxCharacters));
  const std::size_t end = offset + pageLength;

  set(job, "format", reading.format == TranscriptFormat::json ? "json" : "text");
  set(job, "text", sliceScalars(transcript, offset, pageLength));
  set(job, "offset", reading.offset);
  set(job, "totalCharacters", static_cast<std::int64_t>(total));
  set(job, "nextOffset", end < total ? JsonValue(static_cast<std::int64_t>(end)) : JsonValue());
}

ToolPayload readResult(JsonObject job, bool completed, bool queued, std::optional<JsonValue> result,
                       const JobReading& reading) {
  if (!completed) {
    set(job, "code", texts::kResultNotReadyCode);
    set(job, "nextPollAfterSeconds", kPollAfterSeconds);
    set(job, "error", queued ? texts::kQueuedMessage : texts::kRunningMessage);
    set(job, "recoverySuggestion", queued ? texts::kQueuedSuggestion : texts::kRunningSuggestion);
    return {std::move(job), true};
  }

  const JsonObject* resultObject = result ? result->asObject() : nullptr;
  const JsonValue* utterances =
      resultObject != nullptr && !resultObject->empty() ? result->find("utterances") : nullptr;
  if (utterances == nullptr || !utterances->isArray()) {
    set(job, "code", texts::kResultUnavailableCode);
    set(job, "error", texts::kResultUnavailableMessage);
    set(job, "recoverySuggestion", texts::kResultUnavailableSuggestion);
    return {std::move(job), true};
  }

  const std::string transcript = reading.format == TranscriptFormat::json
                                     ? writeJson(*result)
                                     : joinUtteranceTexts(*utterances->asArray());
  cutPage(job, transcript, reading);
  return {std::move(job), false};
}

}  // namespace

ToolPayload interpretJobAnswer(JsonObject answer, const JobReading& reading) {
  // The inline result is moved out, never copied: it can hold a whole
  // transcript with its timestamps.
  std::optional<JsonValue> result;
  if (auto node = answer.extract("result"); !node.empty()) result = std::move(node.mapped());

  // Status comparisons are exact: "COMPLETED" or a non-string status is
  // still pending.
  const JsonValue* statusValue = nullptr;
  if (const auto it = answer.find("status"); it != answer.end()) statusValue = &it->second;
  const std::string* status = statusValue != nullptr ? statusValue->asString() : nullptr;

  if (isTerminalFailure(status)) {
    markTerminalFailure(answer, std::string(*status));
    return {std::move(answer), true};
  }
  const bool completed = status != nullptr && *status == "completed";
  if (reading.tool == JobTool::getResult) {
    const bool queued = status != nullptr && *status == "queued";
    return readResult(std::move(answer), completed, queued, std::move(result), reading);
  }
  if (!completed) set(answer, "nextPollAfterSeconds", kPollAfterSeconds);
  return {std::move(answer), false};
}

}  // namespace tindrel
