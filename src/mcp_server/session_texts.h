// The fixed texts and numbers of the MCP session as the client sees them.
#pragma once

#include <array>
#include <string_view>

namespace tindrel::session_texts {

inline constexpr std::string_view kJsonRpcVersion = "2.0";

// Protocol versions this server speaks, the latest first.
inline constexpr std::array<std::string_view, 4> kSupportedProtocolVersions = {
    "2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"};
inline constexpr std::string_view kLatestProtocolVersion = kSupportedProtocolVersions[0];

inline constexpr std::string_view kInitialize = "initialize";
inline constexpr std::string_view kPing = "ping";
inline constexpr std::string_view kInitializedNotification = "notifications/initialized";
inline constexpr std::string_view kCancelledNotification = "notifications/cancelled";
// Newer clients probe with this request before initialize and fall back to
// initialize when it fails; it is answered before initialize so that they do
// not wait.
inline constexpr std::string_view kDiscover = "server/discover";

inline constexpr std::string_view kAlreadyInitialized = "Server is already initialized";
inline constexpr std::string_view kNotInitialized = "Server is not initialized";
inline constexpr std::string_view kUnknownMethodPrefix = "Unknown method: ";
inline constexpr std::string_view kInvalidMessageFormat = "Invalid message format";
inline constexpr std::string_view kEmptyBatch = "Batch array must not be empty";
inline constexpr std::string_view kInvalidBatchItem = "Invalid batch item format";
inline constexpr std::string_view kInitializeParamsMissing =
    "Cannot read initialize parameters: params are missing";
inline constexpr std::string_view kInitializeParamsNotObject =
    "Cannot read initialize parameters: params must be an object";
inline constexpr std::string_view kInitializeVersionNotString =
    "Cannot read initialize parameters: protocolVersion must be a string";
inline constexpr std::string_view kInitializeCapabilitiesNotObject =
    "Cannot read initialize parameters: capabilities must be an object";
inline constexpr std::string_view kInitializeClientInfoMalformed =
    "Cannot read initialize parameters: clientInfo must be an object with a string name and "
    "version";
inline constexpr std::string_view kUnknownFailure = "Unknown failure";

}  // namespace tindrel::session_texts
