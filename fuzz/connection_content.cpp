// Fuzz target: the content of the connection file (parseConnection, the checks
// that follow the file-system steps).
//
// parseConnection either refuses the content with exactly the "invalid or not
// local" BridgeError or returns a Connection that satisfies every rule. An
// independent check of the canonical form (a JSON object with "apiVersion"
// "v1", "localOnly" true, base URL "http://127.0.0.1:<port>" with an optional
// "/", and a "Bearer " header without line-breaking characters) must be
// accepted, with the values unchanged.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "json/json_reader.h"
#include "local_api/bridge_error.h"
#include "local_api/local_api_client.h"

namespace {

bool isCanonicalLoopbackURL(std::string_view url) {
  constexpr std::string_view kPrefix = "http://127.0.0.1:";
  if (!url.starts_with(kPrefix)) return false;
  url.remove_prefix(kPrefix.size());
  if (url.ends_with('/')) url.remove_suffix(1);
  if (url.empty() || url.size() > 5 || url.front() == '0') return false;
  long port = 0;
  for (const char c : url) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + (c - '0');
  }
  return port >= 1 && port <= 65535;
}

bool hasLineBreakingCharacter(std::string_view header) {
  for (const std::string_view forbidden :
       {std::string_view("\0", 1), std::string_view("\n"), std::string_view("\v"),
        std::string_view("\f"), std::string_view("\r"), std::string_view("\xC2\x85"),
        std::string_view("\xE2\x80\xA8"), std::string_view("\xE2\x80\xA9")}) {
    if (header.find(forbidden) != std::string_view::npos) return true;
  }
  return false;
}

bool isAcceptableHeader(std::string_view header) {
  return header.starts_with("Bearer ") && header.size() >= 8 && !hasLineBreakingCharacter(header);
}

// The connection this content must give, judged without the code under test;
// nullopt when the content is not in the canonical accepted form.
std::optional<tindrel::Connection> expectedConnection(std::string_view content) {
  tindrel::JsonValue value;
  try {
    value = tindrel::readJson(content);
  } catch (const tindrel::JsonReadError&) {
    return std::nullopt;
  }
  const auto* version = value.find("apiVersion");
  const auto* url = value.find("baseURL");
  const auto* header = value.find("authorizationHeader");
  const auto* localOnly = value.find("localOnly");
  if (version == nullptr || url == nullptr || header == nullptr || localOnly == nullptr) {
    return std::nullopt;
  }
  if (!version->isString() || *version->asString() != "v1") return std::nullopt;
  if (!localOnly->isBool() || !*localOnly->asBool()) return std::nullopt;
  if (!url->isString() || !isCanonicalLoopbackURL(*url->asString())) return std::nullopt;
  if (!header->isString() || !isAcceptableHeader(*header->asString())) return std::nullopt;
  return tindrel::Connection{"v1", *url->asString(), *header->asString(), true};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  const std::optional<tindrel::Connection> expected = expectedConnection(content);
  std::optional<tindrel::Connection> parsed;
  try {
    parsed = tindrel::parseConnection(content);
  } catch (const tindrel::BridgeError& error) {
    FUZZ_CHECK(error.code() == "invalid_connection", "wrong error code");
    FUZZ_CHECK(error.message() == "Tindrel connection information is invalid or not local.",
               "wrong error message");
    FUZZ_CHECK(error.recoverySuggestion() ==
                   "Open Tindrel on this Mac and wait for its local service. Reconnect the MCP "
                   "server. Do not paste a token.",
               "wrong recovery suggestion");
    FUZZ_CHECK(!expected.has_value(), "canonical valid content refused");
    return 0;
  } catch (const std::exception&) {
    FUZZ_CHECK(false, "parseConnection threw something other than BridgeError");
  }
  FUZZ_CHECK(parsed->apiVersion == "v1", "apiVersion is not v1");
  FUZZ_CHECK(parsed->localOnly, "localOnly is not true");
  FUZZ_CHECK(parsed->baseURL.starts_with("http://127.0.0.1:"), "base URL is not loopback http");
  FUZZ_CHECK(isAcceptableHeader(parsed->authorizationHeader), "unacceptable header accepted");
  if (expected.has_value()) {
    FUZZ_CHECK(parsed->baseURL == expected->baseURL, "base URL altered");
    FUZZ_CHECK(parsed->authorizationHeader == expected->authorizationHeader, "header altered");
  }
  return 0;
}
