// Fuzz target: redaction of the app's answers.
//
// Input: a first line from which a token is made (mapped onto letters and
// digits, 8 to 64 of them, as real tokens are), then a JSON text standing for
// an answer. After LocalAPIClient::redact with "Bearer <token>" and writing
// with writeJson, neither the token nor the header value appears in the text
// written, in any string, key or media type of the redacted value, or in the
// decoded bytes of its byte data (which the writer sends base64-encoded), and
// no member under a sensitive name is left.
//
// Letters and digits only, at least 8 of them, never "redacted", and at least
// one letter other than "e": a shorter token, one of other characters, or one
// of digits could turn up by coincidence inside "[redacted]" itself, inside a
// JSON escape or in the text of a number, which would not be a leak.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "local_api/local_api_client.h"

namespace {

using tindrel::JsonValue;

bool leaks(std::string_view text, std::string_view token) {
  return text.find(token) != std::string_view::npos;
}

// True for the names whose members redaction drops, for keys in ASCII (other
// keys may lower-case into these names only through rare Unicode mappings,
// which the unit tests cover).
bool isSensitiveAsciiKey(std::string_view key) {
  std::string lowered;
  for (const char c : key) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
    lowered.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
  }
  return lowered == "authorization" || lowered == "authorizationheader" || lowered == "token" ||
         lowered == "x-tindrel-agent-token";
}

void checkValue(const JsonValue& value, std::string_view token) {
  switch (value.kind()) {
    case JsonValue::Kind::string:
      FUZZ_CHECK(!leaks(*value.asString(), token), "token left in a string");
      return;
    case JsonValue::Kind::bytes:
      FUZZ_CHECK(!leaks(value.asBytes()->bytes, token), "token left in byte data");
      FUZZ_CHECK(!leaks(value.asBytes()->mimeType, token), "token left in a media type");
      return;
    case JsonValue::Kind::array:
      for (const JsonValue& element : *value.asArray()) checkValue(element, token);
      return;
    case JsonValue::Kind::object:
      for (const auto& [key, member] : *value.asObject()) {
        FUZZ_CHECK(!leaks(key, token), "token left in a key");
        FUZZ_CHECK(!isSensitiveAsciiKey(key), "sensitive member kept");
        checkValue(member, token);
      }
      return;
    default:
      return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t lineEnd = input.find('\n');
  if (lineEnd == std::string_view::npos) return 0;
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string token;
  for (const char c : input.substr(0, lineEnd)) {
    // Letters and digits stay themselves, so a seed can quote its own token.
    const bool kept = kAlphabet.find(c) != std::string_view::npos;
    token.push_back(kept ? c : kAlphabet[static_cast<unsigned char>(c) % kAlphabet.size()]);
  }
  if (token.size() < 8 || token.size() > 64 || token == "redacted") return 0;
  // Numbers pass redaction unchanged, and their text holds only digits and an
  // exponent "e": a token of digits and "e" alone may appear there.
  if (token.find_first_not_of("0123456789eE") == std::string::npos) return 0;
  const std::string header = "Bearer " + token;

  JsonValue answer;
  try {
    answer = tindrel::readJson(input.substr(lineEnd + 1));
  } catch (const tindrel::JsonReadError&) {
    return 0;
  }
  const JsonValue redacted = tindrel::LocalAPIClient::redact(answer, header);
  checkValue(redacted, token);
  std::string written;
  try {
    written = tindrel::writeJson(redacted);
  } catch (const tindrel::JsonWriteError&) {
    return 0;
  }
  FUZZ_CHECK(!leaks(written, header), "header value in the written answer");
  FUZZ_CHECK(!leaks(written, token), "token in the written answer");
  return 0;
}
