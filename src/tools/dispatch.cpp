// MCPBridge::call: the catalogue test, argument validation, the one request of
// each tool, and the turning of every failure into an error result.

#include <algorithm>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "local_api/bridge_error.h"
#include "text/unicode.h"
#include "text/uuid.h"
#include "tools/job_reading.h"
#include "tools/mcp_bridge.h"
#include "tools/tool_texts.h"

namespace tindrel {

namespace {

namespace texts = tool_texts;

enum class Tool { health, transcribe, getJob, getResult };

constexpr std::size_t kMaxIdempotencyKeyCharacters = 200;
constexpr std::int64_t kMaxPageCharacters = 16000;

[[noreturn]] void failArgument(std::string_view code, std::string message) {
  throw BridgeError(std::string(code), std::move(message),
                    std::string(texts::kCorrectRequestSuggestion));
}

Tool selectTool(std::string_view name) {
  if (name == texts::kHealth) return Tool::health;
  if (name == texts::kTranscribe) return Tool::transcribe;
  if (name == texts::kGetJob) return Tool::getJob;
  if (name == texts::kGetResult) return Tool::getResult;
  throw UnknownToolError();
}

void checkArgumentNames(const JsonObject& arguments,
                        std::initializer_list<std::string_view> accepted) {
  for (const auto& [key, value] : arguments) {
    if (std::find(accepted.begin(), accepted.end(), key) == accepted.end()) {
      failArgument(texts::kInvalidArgumentsCode, std::string(texts::kUnexpectedArgumentMessage));
    }
  }
}

const JsonValue* member(const JsonObject& arguments, std::string_view key) {
  const auto it = arguments.find(key);
  return it == arguments.end() ? nullptr : &it->second;
}

// Byte data (a string that was a whole data URL) is not a string here: every
// string rule refuses it.
const std::string* stringMember(const JsonObject& arguments, std::string_view key) {
  const JsonValue* value = member(arguments, key);
  return value != nullptr ? value->asString() : nullptr;
}

void validateTranscribe(const JsonObject& arguments) {
  // Only the form is judged here; whether the file exists and is audio is the
  // app's decision.
  const std::string* filePath = stringMember(arguments, "filePath");
  if (filePath == nullptr || !filePath->starts_with('/') ||
      filePath->find('\0') != std::string::npos) {
    failArgument(texts::kInvalidFilePathCode, std::string(texts::kFilePathMessage));
  }

  // The limit counts user-perceived characters of the key as sent; the key
  // itself is forwarded untouched, surrounding white space included.
  const std::string* key = stringMember(arguments, "idempotencyKey");
  if (key == nullptr || trimWhitespace(*key).empty() ||
      countGraphemeClusters(*key) > kMaxIdempotencyKeyCharacters) {
    failArgument(texts::kInvalidArgumentsCode, std::string(texts::kIdempotencyKeyMessage));
  }

  for (const std::string_view flag : {"includeTimestamps", "identifySpeakers"}) {
    const JsonValue* value = member(arguments, flag);
    if (value != nullptr && !value->isBool()) {
      failArgument(texts::kInvalidArgumentsCode,
                   std::string(flag) + std::string(texts::kMustBeBooleanSuffix));
    }
  }
}

// The job path carries the parsed identifier in upper case, whatever case the
// client used.
std::string jobPath(const JsonObject& arguments) {
  const std::string* jobId = stringMember(arguments, "jobId");
  const std::optional<Uuid> uuid = jobId != nullptr ? parseUuid(*jobId) : std::nullopt;
  if (!uuid) failArgument(texts::kInvalidJobIdCode, std::string(texts::kJobIdMessage));
  return std::string(texts::kJobsPathPrefix) + formatUuidUpper(*uuid);
}

JobReading resultReading(const JsonObject& arguments) {
  JobReading reading;
  reading.tool = JobTool::getResult;
  bool valid = true;
  if (const JsonValue* format = member(arguments, "format"); format != nullptr) {
    const std::string* text = format->asString();
    if (text != nullptr && *text == "text") {
      reading.format = TranscriptFormat::text;
    } else if (text != nullptr && *text == "json") {
      reading.format = TranscriptFormat::json;
    } else {
      valid = false;
    }
  }
  if (const JsonValue* offset = member(arguments, "offset"); offset != nullptr) {
    const std::int64_t* value = offset->asInteger();
    valid = valid && value != nullptr && *value >= 0;
    if (value != nullptr) reading.offset = *value;
  }
  if (const JsonValue* maxCharacters = member(arguments, "maxCharacters");
      maxCharacters != nullptr) {
    const std::int64_t* value = maxCharacters->asInteger();
    valid = valid && value != nullptr && *value >= 1 && *value <= kMaxPageCharacters;
    if (value != nullptr) reading.maxCharacters = *value;
  }
  if (!valid)
    failArgument(texts::kInvalidArgumentsCode, std::string(texts::kReadingOptionsMessage));
  return reading;
}

// Validates, sends the one request and shapes the answer. Every failure is
// thrown; the caller turns it into the error result.
ToolCallResult serve(const LocalAPI& client, Tool tool, const JsonObject& arguments,
                     std::stop_token stop) {
  switch (tool) {
    case Tool::health: {
      checkArgumentNames(arguments, {});
      return MCPBridge::response(client.request("GET", texts::kHealthPath, nullptr, stop), false);
    }
    case Tool::transcribe: {
      checkArgumentNames(arguments,
                         {"filePath", "idempotencyKey", "includeTimestamps", "identifySpeakers"});
      validateTranscribe(arguments);
      // The body is the arguments exactly as received: no default is filled in
      // for an absent flag, the app decides.
      JsonObject answer = client.request("POST", texts::kTranscribePath, &arguments, stop);
      answer.insert_or_assign("nextPollAfterSeconds", kPollAfterSeconds);
      return MCPBridge::response(std::move(answer), false);
    }
    case Tool::getJob: {
      checkArgumentNames(arguments, {"jobId"});
      const std::string path = jobPath(arguments);
      ToolPayload payload =
          interpretJobAnswer(client.request("GET", path, nullptr, stop), JobReading{});
      return MCPBridge::response(std::move(payload.payload), payload.isError);
    }
    case Tool::getResult: {
      checkArgumentNames(arguments, {"jobId", "format", "offset", "maxCharacters"});
      const std::string path = jobPath(arguments);
      const JobReading reading = resultReading(arguments);
      ToolPayload payload = interpretJobAnswer(client.request("GET", path, nullptr, stop), reading);
      return MCPBridge::response(std::move(payload.payload), payload.isError);
    }
  }
  std::terminate();  // unreachable: every Tool is handled above
}

JsonObject errorObject(std::string code, std::string message, std::string recoverySuggestion) {
  JsonObject object;
  object.emplace("code", std::move(code));
  object.emplace("error", std::move(message));
  object.emplace("recoverySuggestion", std::move(recoverySuggestion));
  return object;
}

}  // namespace

MCPBridge::MCPBridge(std::shared_ptr<const LocalAPI> client) : client_(std::move(client)) {}

ToolCallResult MCPBridge::call(std::string_view name, const JsonObject& arguments,
                               std::stop_token stop) const {
  const Tool tool = selectTool(name);
  JsonObject failure;
  try {
    return serve(*client_, tool, arguments, std::move(stop));
  } catch (const RequestAborted&) {
    // The client withdrew the request: there is nothing to answer, and a
    // transport-error result would claim a failure that did not happen.
    throw;
  } catch (const BridgeError& error) {
    failure = errorObject(error.code(), error.message(), error.recoverySuggestion());
  } catch (const std::exception&) {
    // The failure's own text is not shown: it may name paths or internals.
    failure =
        errorObject(std::string(texts::kBridgeFailedCode), std::string(texts::kBridgeFailedMessage),
                    std::string(texts::kBridgeFailedSuggestion));
  }
  return response(std::move(failure), true);
}

}  // namespace tindrel
