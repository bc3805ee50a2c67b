// LocalAPIClient: the server's only way to the app's local HTTP service.
//
// Before every request it reads and checks the private connection file afresh
// (owner-only regular file, loopback base URL, "Bearer " header value), then
// makes one HTTP exchange over loopback with libcurl: no proxy, no redirect
// followed, no cookies, no stored credentials, no cache, http only, at most 30
// seconds for the whole exchange. Every answer is redacted before anything in
// it is read.
//
// Thread-safety: immutable after construction; request() may run on any
// number of threads at once. libcurl is loaded at the first request.
#pragma once

#include <chrono>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "json/json_value.h"
#include "local_api/local_api.h"

namespace tindrel {

// The decoded, validated content of the connection file.
struct Connection {
  std::string apiVersion;
  std::string baseURL;
  std::string authorizationHeader;
  bool localOnly = false;
};

// Decodes and checks the content of a connection file (everything after the
// file-system checks). Throws the BridgeError "invalid_connection" /
// "Tindrel connection information is invalid or not local." on any failure.
Connection parseConnection(std::string_view content);

class LocalAPIClient final : public LocalAPI {
 public:
  // `manifestPath` is the absolute path of the connection file. `exchangeLimit`
  // is the limit for one whole exchange; the product always uses 30 seconds
  // (tests may shorten it). Touches neither the file nor the network.
  explicit LocalAPIClient(std::string manifestPath,
                          std::chrono::milliseconds exchangeLimit = std::chrono::seconds(30));
  ~LocalAPIClient() override;
  LocalAPIClient(const LocalAPIClient&) = delete;
  LocalAPIClient& operator=(const LocalAPIClient&) = delete;

  // Reads and checks the connection file, then sends `method` to the base URL
  // joined with `path` (which must begin with "/api/v1/") with the file's
  // Authorization value, and `body` as compact JSON with
  // "Content-Type: application/json" when given. Returns the answer object of
  // a 2xx status, redacted. Throws BridgeError for the connection file, an
  // invalid path, a failed exchange (the limit included), a 401 answer, an
  // answer that is not a JSON object, and every other status (with the
  // answer's redacted "code", "error" and "recoverySuggestion" strings, each
  // falling back on its own); JsonWriteError unchanged when `body` cannot be
  // written; RequestAborted when `stop` is requested before the exchange
  // completes (the exchange then ends at once; nothing is sent when it was
  // already requested); std::invalid_argument when `method` is not an HTTP
  // token (a programming error).
  JsonObject request(std::string_view method, std::string_view path, const JsonObject* body,
                     std::stop_token stop) const override;

  // Reads and checks the connection file. Throws BridgeError.
  Connection connection() const;

  // A copy of `value` without credentials: members under a sensitive key
  // (compared lower-cased, at any depth) are dropped; in every string and in
  // the bytes of byte data, the whole `authorization` value and then the bare
  // token (without "Bearer ") are replaced by "[redacted]". Cannot fail.
  static JsonValue redact(const JsonValue& value, std::string_view authorization);

 private:
  struct Session;
  std::string manifestPath_;
  std::chrono::milliseconds exchangeLimit_;
  std::unique_ptr<Session> session_;
};

}  // namespace tindrel
