// Standard base64 (RFC 4648 section 4, the "+/" alphabet with "=" padding).
//
// Thread-safety: stateless; may be called from any number of threads.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tindrel {

// Appends the padded base64 form of `bytes` to `out`.
void appendBase64(std::string& out, std::string_view bytes);

// Decodes the canonical padded base64 form: a length that is a multiple of
// four, only alphabet characters before at most two trailing "=", and zero
// bits in the unused part of the last character. Returns nullopt for anything
// else, so that a decoded text always encodes back to the same characters.
std::optional<std::string> decodeBase64(std::string_view text);

}  // namespace tindrel
