// Interpretation of a job answer for the two job tools: job states, poll
// hints, recovery paths of failed jobs, and transcript pages cut by Unicode
// scalar offsets. Internal to the tool layer (MCPBridge::call uses it).
//
// Thread-safety: stateless; may be called from any number of threads.
#pragma once

#include <cstdint>

#include "json/json_value.h"

namespace tindrel {

// The wait, in seconds, that every poll hint tells the client (the transcribe
// answer and every job still pending).
inline constexpr std::int64_t kPollAfterSeconds = 2;

enum class JobTool { getJob, getResult };
enum class TranscriptFormat { text, json };

// What the client asked for. The paging members matter only for getResult and
// have already been validated: offset >= 0, maxCharacters in 1...16000.
struct JobReading {
  JobTool tool = JobTool::getJob;
  TranscriptFormat format = TranscriptFormat::text;
  std::int64_t offset = 0;
  std::int64_t maxCharacters = 16000;
};

// The payload of a tool result and its isError flag.
struct ToolPayload {
  JsonObject payload;
  bool isError = false;
};

// Turns the job answer into the tool's payload. The answer's `result` member
// is never part of the payload; members set here replace the service's own.
// A failed, cancelled or interrupted job gains `code` and, when it has no
// string `recoveryFilePath`, its `sourceFilePath` if that names an existing
// file or directory (links followed). Throws BridgeError "invalid_arguments"
// when the offset lies beyond the transcript, and JsonWriteError when a "json"
// transcript holds a non-finite double.
ToolPayload interpretJobAnswer(JsonObject answer, const JobReading& reading);

}  // namespace tindrel
