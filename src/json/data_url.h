// Recognising strings that as a whole are data URLs.
//
// Accepted form: "data:" [type "/" subtype] *(";" attribute "=" value)
// [";base64"] "," payload, where type, subtype, attribute and value are MIME
// tokens (visible ASCII without the MIME special characters) and ";base64" is
// matched in any letter case. A base64 payload must be canonical padded
// standard base64; any other payload is visible ASCII in which every "%"
// starts a two-digit hexadecimal escape.
//
// Thread-safety: stateless; may be called from any number of threads.
#pragma once

#include <optional>
#include <string_view>

#include "json/json_value.h"

namespace tindrel {

// The decoded bytes and the media type (everything between "data:" and the
// comma, without ";base64"; empty when the URL names none) of `text`, or
// nullopt when `text` is not a data URL of the form above.
std::optional<ByteData> parseDataUrl(std::string_view text);

}  // namespace tindrel
