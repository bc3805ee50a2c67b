#include "local_api/redact.h"

#include <utf8proc.h>

#include <array>
#include <utility>
#include <vector>

#include "json/base64.h"
#include "local_api/local_api_client.h"
#include "local_api/messages.h"

namespace tindrel {
namespace {

constexpr std::array<std::string_view, 4> kSensitiveKeys = {"authorization", "authorizationheader",
                                                            "token", "x-tindrel-agent-token"};
constexpr std::size_t kLongestSensitiveKey = 21;  // "x-tindrel-agent-token"

constexpr std::size_t kShortestSensitiveKey = 5;  // "token"

bool isSensitiveName(std::string_view loweredKey) {
  for (const std::string_view name : kSensitiveKeys) {
    if (loweredKey == name) return true;
  }
  return false;
}

// Length of "Bearer ", the part of the header value before the token.
constexpr std::size_t kBearerPrefixLength = 7;

// The token of a header value: the text after "Bearer ".
std::string_view tokenOf(std::string_view authorization) {
  return authorization.size() > kBearerPrefixLength ? authorization.substr(kBearerPrefixLength)
                                                    : std::string_view();
}

// True when `text` holds the header value or the token. The header value
// contains the token, so one search tells.
bool mentionsCredential(std::string_view text, std::string_view authorization) {
  const std::string_view token = tokenOf(authorization);
  const std::string_view needle = token.empty() ? authorization : token;
  return !needle.empty() && text.find(needle) != std::string_view::npos;
}

// Replaces every occurrence of `pattern` in `text` by "[redacted]", left to
// right without overlap. An empty pattern matches nothing.
bool replaceAll(std::string& text, std::string_view pattern) {
  if (pattern.empty()) return false;
  std::size_t position = text.find(pattern);
  if (position == std::string::npos) return false;
  std::string result;
  result.reserve(text.size());
  std::size_t copied = 0;
  while (position != std::string::npos) {
    result.append(text, copied, position - copied);
    result.append(local_api_texts::kRedacted);
    copied = position + pattern.size();
    position = text.find(pattern, copied);
  }
  result.append(text, copied, std::string::npos);
  text = std::move(result);
  return true;
}

void redactObject(JsonObject& object, std::string_view authorization) {
  // Members whose key quoted the credential are re-inserted under the
  // redacted key after the walk, so that none is visited twice.
  std::vector<JsonObject::node_type> renamed;
  for (auto it = object.begin(); it != object.end();) {
    if (isSensitiveKey(it->first)) {
      it = object.erase(it);
      continue;
    }
    redactInPlace(it->second, authorization);
    if (!mentionsCredential(it->first, authorization)) {
      ++it;
      continue;
    }
    auto node = object.extract(it++);
    redactText(node.key(), authorization);
    renamed.push_back(std::move(node));
  }
  // When a redacted key is already taken, the member already there stays.
  for (auto& node : renamed) object.insert(std::move(node));
}

}  // namespace

bool redactText(std::string& text, std::string_view authorization) {
  // Most texts hold no credential and take only this one scan.
  if (!mentionsCredential(text, authorization)) return false;
  replaceAll(text, authorization);
  replaceAll(text, tokenOf(authorization));
  return true;
}

bool isSensitiveKey(std::string_view key) {
  // Lower-case scalar by scalar into a small buffer; every sensitive name is
  // short ASCII, so anything longer cannot match. The default lower-case
  // mapping is the simple one except for U+0130, which becomes "i" followed
  // by U+0307 and therefore never lowers to plain ASCII.
  // Every sensitive name has at least five scalars, hence five bytes.
  if (key.size() < kShortestSensitiveKey) return false;
  std::array<char, kLongestSensitiveKey> lowered{};
  std::size_t length = 0;
  // Keys are nearly always ASCII, whose lower case needs no table.
  if (key.size() <= kLongestSensitiveKey) {
    for (const char c : key) {
      if (static_cast<unsigned char>(c) >= 0x80) {
        length = 0;
        break;
      }
      lowered[length++] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    if (length == key.size()) return isSensitiveName({lowered.data(), length});
  }
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(key.data());
  utf8proc_ssize_t offset = 0;
  const auto size = static_cast<utf8proc_ssize_t>(key.size());
  while (offset < size) {
    utf8proc_int32_t scalar = 0;
    const utf8proc_ssize_t read = utf8proc_iterate(bytes + offset, size - offset, &scalar);
    if (read <= 0) return false;  // Not UTF-8: cannot spell a sensitive name.
    offset += read;
    if (scalar == 0x0130) return false;
    const utf8proc_int32_t lower = utf8proc_tolower(scalar);
    if (lower >= 0x80 || length == lowered.size()) return false;
    lowered[length++] = static_cast<char>(lower);
  }
  return isSensitiveName({lowered.data(), length});
}

void redactInPlace(JsonValue& value, std::string_view authorization) {
  switch (value.kind()) {
    case JsonValue::Kind::object:
      redactObject(*value.asObject(), authorization);
      return;
    case JsonValue::Kind::array:
      for (JsonValue& element : *value.asArray()) redactInPlace(element, authorization);
      return;
    case JsonValue::Kind::string:
      redactText(*value.asString(), authorization);
      return;
    case JsonValue::Kind::bytes: {
      ByteData& data = *value.asBytes();
      redactText(data.bytes, authorization);
      redactText(data.mimeType, authorization);
      // The client gets the bytes as base64 text, and that text can spell the
      // token by itself (a token made of base64 characters sent as a data URL
      // payload). Such a value goes out as its data URL text, redacted, as a
      // plain string.
      std::string written = "data:";
      written += data.mimeType.empty() ? std::string_view("text/plain") : data.mimeType;
      written += ";base64,";
      appendBase64(written, data.bytes);
      if (redactText(written, authorization)) value = JsonValue(std::move(written));
      return;
    }
    case JsonValue::Kind::null:
    case JsonValue::Kind::boolean:
    case JsonValue::Kind::integer:
    case JsonValue::Kind::floating:
      return;
  }
}

JsonValue LocalAPIClient::redact(const JsonValue& value, std::string_view authorization) {
  JsonValue copy = value;
  redactInPlace(copy, authorization);
  return copy;
}

}  // namespace tindrel
