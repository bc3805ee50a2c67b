// Removing the credential from an answer of the app's service, in place.
// LocalAPIClient::redact is the copying form; request() redacts the answer it
// has just read without copying it.
//
// Thread-safety: stateless; may be called from any number of threads.
#pragma once

#include <string>
#include <string_view>

#include "json/json_value.h"

namespace tindrel {

// Rewrites `value` without credentials, by kind:
//  - object: members whose key, lower-cased with the default Unicode mapping,
//    is "authorization", "authorizationheader", "token" or
//    "x-tindrel-agent-token" are dropped; the other keys and their values are
//    redacted by these rules (a key is text the client sees too);
//  - array: every element, order kept;
//  - string: every occurrence of `authorization` (the whole "Bearer <token>"
//    value), then every occurrence of the bare token, becomes "[redacted]"
//    (exact, case-sensitive, left to right, not overlapping);
//  - byte data: the same two replacements in its bytes and its media type,
//    since the writer sends the bytes back to the client base64-encoded;
//    when the data URL text the writer would make of the result still holds
//    the credential (its base64 spells the token), the value becomes that
//    text, redacted, as a string;
//  - null, booleans and numbers: unchanged.
// Cannot fail (beyond memory exhaustion).
void redactInPlace(JsonValue& value, std::string_view authorization);

// The string form of the replacements above; exposed for the key rule.
// Returns true when `text` was changed.
bool redactText(std::string& text, std::string_view authorization);

// True when `key` lower-cased is one of the sensitive key names.
bool isSensitiveKey(std::string_view key);

}  // namespace tindrel
