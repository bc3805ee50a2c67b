// Every fixed text the service sends: error answers of the HTTP API and the
// messages of jobs. Codes are snake_case; each recovery suggestion says what
// to do and that the original audio is unchanged.
#pragma once

namespace tindrel::companion {

struct ErrorText {
  int status;  // HTTP status of the answer
  const char* code;
  const char* error;
  const char* recoverySuggestion;
};

namespace errors {

inline constexpr ErrorText kUnauthorized{
    401, "unauthorized", "The local connection credentials are missing or do not match.",
    "Read the current connection file written by Tindrel and send its authorizationHeader "
    "unchanged. The original audio is unchanged."};
inline constexpr ErrorText kNotFound{
    404, "not_found", "Unknown local API endpoint.",
    "Use the endpoints under /api/v1/. The original audio is unchanged."};
inline constexpr ErrorText kMethodNotAllowed{
    405, "method_not_allowed", "This endpoint does not accept that HTTP method.",
    "Correct the request and retry. The original audio is unchanged."};
inline constexpr ErrorText kUnsupportedMediaType{
    415, "unsupported_media_type", "The request body must be sent as application/json.",
    "Correct the request and retry. The original audio is unchanged."};
inline constexpr ErrorText kInvalidBody{
    400, "invalid_request", "The request body must be a JSON object.",
    "Correct the request and retry. The original audio is unchanged."};
inline constexpr ErrorText kBadRequest{
    400, "invalid_request", "The request could not be read.",
    "Correct the request and retry. The original audio is unchanged."};
inline constexpr ErrorText kTooLarge{413, "request_too_large", "The request is too large.",
                                     "Send a smaller request. The original audio is unchanged."};
inline constexpr ErrorText kInvalidFilePath{
    400, "invalid_file_path", "filePath must be an absolute path to a local audio or video file.",
    "Correct the request and retry. The original audio is unchanged."};
inline constexpr ErrorText kFileNotFound{
    404, "file_not_found", "The audio file does not exist or is not a regular file.",
    "Check the path of the recording and retry. The original audio is unchanged."};
inline constexpr ErrorText kFileUnreadable{
    422, "file_unreadable", "The audio file cannot be read.",
    "Check that the file can be read by the current user and retry. The original audio is "
    "unchanged."};
inline constexpr ErrorText kInvalidIdempotencyKey{
    400, "invalid_idempotency_key", "idempotencyKey must be a non-empty string.",
    "Correct the request and retry. The original audio is unchanged."};
inline constexpr ErrorText kInvalidFlags{
    400, "invalid_arguments", "includeTimestamps and identifySpeakers must be booleans.",
    "Correct the request and retry. The original audio is unchanged."};
inline constexpr ErrorText kInvalidJobId{
    400, "invalid_job_id", "The job id must be a UUID.",
    "Use the jobId returned when the audio was submitted. The original audio is unchanged."};
inline constexpr ErrorText kJobNotFound{
    404, "job_not_found", "No job with this id exists.",
    "Use the jobId returned when the audio was submitted; jobs are forgotten when Tindrel "
    "restarts. The original audio is unchanged."};
inline constexpr ErrorText kInternal{500, "internal_error",
                                     "The local service could not handle the request.",
                                     "Retry the request. The original audio is unchanged."};
inline constexpr ErrorText kRequestFailed{
    400, "request_failed", "The local service rejected the request.",
    "Correct the request and retry. The original audio is unchanged."};

}  // namespace errors

// Texts of a job that ended without a transcript: the job's errorCode (absent
// when null), its "error" and its "recoverySuggestion".
struct JobEndText {
  const char* errorCode;
  const char* error;
  const char* recoverySuggestion;
};

namespace job_texts {

inline constexpr JobEndText kEngineFailed{
    "transcription_failed", "The transcription engine failed on this recording.",
    "Retry the audio at recoveryFilePath with a new idempotencyKey after fixing the cause. "
    "The original audio is unchanged."};
inline constexpr JobEndText kSidecarInvalid{
    "sidecar_invalid", "The sidecar transcript next to the audio cannot be read.",
    "Fix or remove the sidecar transcript, then submit the audio again with a new "
    "idempotencyKey. The original audio is unchanged."};
inline constexpr JobEndText kOutputFailed{
    "output_write_failed", "The transcript files could not be written.",
    "Free disk space or fix the permissions of the Tindrel folder, then submit the audio again "
    "with a new idempotencyKey. The original audio is unchanged."};
inline constexpr JobEndText kCancelled{
    nullptr, "The job was cancelled in Tindrel.",
    "Submit the audio again with a new idempotencyKey if you still need the transcript. The "
    "original audio is unchanged."};
inline constexpr JobEndText kInterrupted{
    nullptr, "The job was interrupted before it finished.",
    "Submit the audio again with a new idempotencyKey. The original audio is unchanged."};

inline constexpr const char* kQueuedDescription = "Waiting to start.";
inline constexpr const char* kQueuedBehindDescription = "Waiting for earlier jobs to finish.";
inline constexpr const char* kTranscribingDescription = "Transcribing audio on this device.";
inline constexpr const char* kSpeakersDescription = "Identifying speakers.";
inline constexpr const char* kCompletedDescription = "Transcription finished.";
inline constexpr const char* kEndedDescription = "The job ended without a transcript.";

inline constexpr const char* kQueuedMessage =
    "The job is queued. Keep polling this job every 2 seconds; do not resubmit the audio.";
inline constexpr const char* kRunningMessage =
    "Transcription is running. Keep polling this job every 2 seconds.";
inline constexpr const char* kCompletedMessage =
    "The transcript is ready inline and in the output files.";
inline constexpr const char* kEndedMessage =
    "The job has ended. Read error and recoverySuggestion before retrying.";

}  // namespace job_texts

// The health answer's description of the engine.
inline constexpr const char* kEngineDescription =
    "Stand-in engine: no speech recognition is performed. Transcripts come from a sidecar file "
    "next to the audio (<audio file>.transcript.json or .transcript.txt) or are synthetic, made "
    "from the recording's duration.";

}  // namespace tindrel::companion
