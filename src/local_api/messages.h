// The fixed texts of the connection to the app's local service: every error
// this layer raises, with its code, message and recovery suggestion. Clients
// and agents match on these bytes, so they live here once and nowhere else.
// None of them names a path, file content or credential.
#pragma once

#include <string_view>

#include "local_api/bridge_error.h"

namespace tindrel::local_api_texts {

struct ErrorText {
  std::string_view code;
  std::string_view message;
  std::string_view recoverySuggestion;

  BridgeError error() const {
    return BridgeError(std::string(code), std::string(message), std::string(recoverySuggestion));
  }
};

inline constexpr std::string_view kConnectionRecovery =
    "Open Tindrel on this Mac and wait for its local service. Reconnect the MCP server. Do not "
    "paste a token.";

// The connection file's attributes cannot be read (no such file, a directory
// on the way that cannot be searched, ...).
inline constexpr ErrorText kConnectionUnavailable{
    "service_unavailable", "Tindrel connection information is unavailable.", kConnectionRecovery};

// The file is not a regular file, belongs to another user, is readable or
// writable by group or others, or is larger than the size limit.
inline constexpr ErrorText kConnectionUnsafeFile{
    "invalid_connection", "Tindrel connection file must be a private, owner-only regular file.",
    kConnectionRecovery};

// The file cannot be read, its content is not the expected JSON object, the
// base URL is not the IPv4 loopback service, or the header value is unusable.
inline constexpr ErrorText kConnectionNotLocal{
    "invalid_connection", "Tindrel connection information is invalid or not local.",
    kConnectionRecovery};

// A request path outside "/api/v1/", or one that makes no valid URL.
inline constexpr ErrorText kInvalidPath{
    "invalid_request", "Invalid local API path.",
    "Correct the request and retry. The original audio is unchanged."};

// The exchange failed: refused connection, time limit, network error.
inline constexpr ErrorText kTransport{
    "service_unavailable", "Tindrel could not be reached within 30 seconds.",
    "Open Tindrel and retry. If submission was interrupted, reuse the same idempotencyKey; the "
    "job may already be queued. The original audio is unchanged."};

// The answer carried no HTTP status.
inline constexpr ErrorText kInvalidResponse{
    "invalid_response", "Tindrel returned an invalid response.",
    "Correct the request and retry. The original audio is unchanged."};

// HTTP status 401.
inline constexpr ErrorText kUnauthorized{
    "unauthorized", "Tindrel rejected the local connection credentials.",
    "Reopen Tindrel to refresh its private connection file, then retry. Never copy the token into "
    "chat or MCP configuration."};

// The answer body is not one JSON object.
inline constexpr ErrorText kUnreadableJson{
    "invalid_response", "Tindrel returned unreadable JSON.",
    "Check the job in Tindrel. Audio and exported result files are unchanged."};

// Defaults of an error answer (status outside 200 to 299); each one stands in
// for its own member of the answer when that member is not a string.
inline constexpr ErrorText kRequestFailed{
    "request_failed", "Tindrel rejected the request.",
    "Check Tindrel and retry with the same idempotencyKey. The original audio is unchanged."};

// Replaces credentials in answers.
inline constexpr std::string_view kRedacted = "[redacted]";

}  // namespace tindrel::local_api_texts
