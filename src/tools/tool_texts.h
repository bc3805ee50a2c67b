// The fixed texts of the tool layer: tool names, descriptions, error codes,
// messages and recovery suggestions. Clients and agents match on these bytes,
// so they live here once and nowhere else.
#pragma once

#include <string_view>

namespace tindrel::tool_texts {

// Tool names, in catalogue order.
inline constexpr std::string_view kHealth = "tindrel_health";
inline constexpr std::string_view kTranscribe = "tindrel_transcribe";
inline constexpr std::string_view kGetJob = "tindrel_get_job";
inline constexpr std::string_view kGetResult = "tindrel_get_result";

// Tool descriptions, written for an AI agent.
inline constexpr std::string_view kHealthDescription =
    "Check the running Tindrel app and local model readiness. No audio is submitted.";
inline constexpr std::string_view kTranscribeDescription =
    "Queue a local audio/video file for on-device transcription. Returns a jobId without "
    "waiting for transcription. Choose one stable idempotencyKey per recording and options; "
    "reuse it after connection timeouts to avoid duplicate jobs. The app preserves audio before "
    "queueing. Poll tindrel_get_job every 2 seconds; then use tindrel_get_result. Timestamps "
    "and slower speaker identification are opt-in. This tool never deletes the source audio.";
inline constexpr std::string_view kGetJobDescription =
    "Get job status, progress, heartbeat and recovery paths. Completed, failed and cancelled are "
    "terminal. A failed job returns isError with its recoveryFilePath; retry that audio after "
    "fixing the cause. Queued jobs can be waiting for foreground recording or dictation to "
    "finish: keep polling the same job and do not resubmit or cancel the user's work. Poll "
    "active jobs no faster than every 2 seconds. Use tindrel_get_result for the transcript.";
inline constexpr std::string_view kGetResultDescription =
    "Read a completed transcript through MCP. text returns utterance text joined with newlines; "
    "json returns serialized ASR result including timestamps/speaker labels. Results are paged "
    "by Unicode scalar offsets: append text pages and follow nextOffset until null; parse JSON "
    "only after assembling all pages. No file-reading tool is required. Pending jobs return "
    "result_not_ready; a queued job can be waiting for foreground recording or dictation, so "
    "keep polling the same job without resubmitting or interrupting the user's active work. "
    "Failed jobs retain recovery paths.";

// Property descriptions of the input schemas.
inline constexpr std::string_view kFilePathDescription =
    "Absolute audio/video file path on this Mac, not a URL.";
inline constexpr std::string_view kIdempotencyKeyDescription =
    "Stable unique key for this recording and options; reuse on retry.";
inline constexpr std::string_view kIdentifySpeakersDescription =
    "Slower speaker identification; implies timestamps.";
inline constexpr std::string_view kJobIdDescription = "The jobId returned by tindrel_transcribe.";

// Error codes.
inline constexpr std::string_view kInvalidArgumentsCode = "invalid_arguments";
inline constexpr std::string_view kInvalidFilePathCode = "invalid_file_path";
inline constexpr std::string_view kInvalidJobIdCode = "invalid_job_id";
inline constexpr std::string_view kBridgeFailedCode = "bridge_failed";
inline constexpr std::string_view kPipelineFailedCode = "pipeline_failed";
inline constexpr std::string_view kResultNotReadyCode = "result_not_ready";
inline constexpr std::string_view kResultUnavailableCode = "result_unavailable";

// Argument errors share one recovery suggestion.
inline constexpr std::string_view kCorrectRequestSuggestion =
    "Correct the request and retry. The original audio is unchanged.";
inline constexpr std::string_view kUnexpectedArgumentMessage =
    "Unexpected argument. Use the parameters in the tool schema.";
inline constexpr std::string_view kFilePathMessage =
    "filePath must be an absolute local audio/video path.";
// The dash between 1 and 200 is U+2013 EN DASH.
inline constexpr std::string_view kIdempotencyKeyMessage =
    "idempotencyKey is required and must contain 1\u2013200 characters.";
// Follows the flag's name.
inline constexpr std::string_view kMustBeBooleanSuffix = " must be a boolean.";
inline constexpr std::string_view kJobIdMessage =
    "jobId must be the UUID returned by tindrel_transcribe.";
inline constexpr std::string_view kReadingOptionsMessage =
    "Use format text/json, offset >= 0, and maxCharacters between 1 and 16000.";
inline constexpr std::string_view kOffsetExceedsMessage = "offset exceeds totalCharacters.";

// The fixed object for any failure that is not a BridgeError.
inline constexpr std::string_view kBridgeFailedMessage =
    "The local MCP adapter could not complete the request.";
inline constexpr std::string_view kBridgeFailedSuggestion =
    "Check Tindrel and retry with the same idempotencyKey. The original audio is unchanged.";

// Job states written into the job answer.
inline constexpr std::string_view kQueuedMessage =
    "This job is queued and waiting to start. It may be waiting for another imported job, "
    "foreground recording/dictation, or audio storage maintenance. Check progressDescription "
    "and agentMessage for details.";
inline constexpr std::string_view kQueuedSuggestion =
    "Keep polling tindrel_get_job, then read the result when completed. Do not resubmit or "
    "interrupt the user's active recording or dictation.";
inline constexpr std::string_view kRunningMessage = "Transcription is still running.";
inline constexpr std::string_view kRunningSuggestion =
    "Poll tindrel_get_job, then read the result when completed.";
inline constexpr std::string_view kResultUnavailableMessage = "The job has no inline transcript.";
inline constexpr std::string_view kResultUnavailableSuggestion =
    "Open the outputMarkdownPath or outputJSONPath in Tindrel. The output files and original "
    "audio are unchanged.";

// Paths of the app's local service.
inline constexpr std::string_view kHealthPath = "/api/v1/health";
inline constexpr std::string_view kTranscribePath = "/api/v1/transcribe";
inline constexpr std::string_view kJobsPathPrefix = "/api/v1/jobs/";

}  // namespace tindrel::tool_texts
