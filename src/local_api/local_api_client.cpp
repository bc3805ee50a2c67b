#include "local_api/local_api_client.h"

#include <utility>

#include "json/json_reader.h"
#include "json/json_writer.h"
#include "local_api/base_url.h"
#include "local_api/http_session.h"
#include "local_api/messages.h"
#include "local_api/redact.h"

namespace tindrel {
namespace {

using namespace local_api_texts;

constexpr std::string_view kAPIPrefix = "/api/v1/";

// The compact JSON text of `object`, written member by member so that the
// caller's object is not copied into a JsonValue first. Throws JsonWriteError.
std::string writeObject(const JsonObject& object) {
  std::string text;
  text.push_back('{');
  bool first = true;
  for (const auto& [key, value] : object) {
    if (!first) text.push_back(',');
    first = false;
    appendJson(text, JsonValue(std::string_view(key)));
    text.push_back(':');
    appendJson(text, value);
  }
  text.push_back('}');
  return text;
}

// The member `key` of an error answer when it is a string, else `fallback`.
std::string textOr(const JsonObject& answer, std::string_view key, std::string_view fallback) {
  const auto it = answer.find(key);
  const std::string* text = it == answer.end() ? nullptr : it->second.asString();
  return text != nullptr ? *text : std::string(fallback);
}

}  // namespace

struct LocalAPIClient::Session : HttpSession {
  using HttpSession::HttpSession;
};

LocalAPIClient::LocalAPIClient(std::string manifestPath, std::chrono::milliseconds exchangeLimit)
    : manifestPath_(std::move(manifestPath)),
      exchangeLimit_(exchangeLimit),
      session_(std::make_unique<Session>(exchangeLimit_)) {}

LocalAPIClient::~LocalAPIClient() = default;

JsonObject LocalAPIClient::request(std::string_view method, std::string_view path,
                                   const JsonObject* body, std::stop_token stop) const {
  const Connection connection = this->connection();

  std::string_view baseURL = connection.baseURL;
  if (baseURL.ends_with('/')) baseURL.remove_suffix(1);
  if (!path.starts_with(kAPIPrefix) || !isValidURLPath(path)) throw kInvalidPath.error();
  std::string url;
  url.reserve(baseURL.size() + path.size());
  url.append(baseURL).append(path);

  std::string payload;
  if (body != nullptr) payload = writeObject(*body);

  std::optional<HttpResponse> response =
      session_->exchange(HttpRequest{method, url, connection.authorizationHeader,
                                     body != nullptr ? &payload : nullptr},
                         std::move(stop));
  if (!response) throw kTransport.error();
  if (response->status < 100 || response->status > 999) throw kInvalidResponse.error();
  if (response->status == 401) throw kUnauthorized.error();

  JsonValue answer;
  try {
    answer = readJson(response->body);
  } catch (const std::exception&) {
    throw kUnreadableJson.error();
  }
  JsonObject* object = answer.asObject();
  if (object == nullptr) throw kUnreadableJson.error();
  // Nothing in the answer is looked at before the credential is gone from it.
  redactInPlace(answer, connection.authorizationHeader);

  if (response->status >= 200 && response->status <= 299) return std::move(*object);
  throw BridgeError(textOr(*object, "code", kRequestFailed.code),
                    textOr(*object, "error", kRequestFailed.message),
                    textOr(*object, "recoverySuggestion", kRequestFailed.recoverySuggestion));
}

}  // namespace tindrel
