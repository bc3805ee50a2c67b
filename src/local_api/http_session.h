// HttpSession: one HTTP exchange at a time per caller over the loopback
// interface with libcurl, configured so that the environment cannot change
// it: no proxy (whatever http_proxy, HTTPS_PROXY or ALL_PROXY say), no
// redirect followed, no cookies, no .netrc, no cache, http only, HTTP/1.1, a
// limit for the whole exchange, and no "Expect: 100-continue" delay.
//
// Connections are kept between exchanges in a small pool of slots, each a
// curl multi handle (which owns the connection cache) with one easy handle.
// A caller takes a slot, makes its exchange and gives the slot back; a slot
// is never used by two threads at once. At most kMaxSlots exchanges run at
// once; further callers wait for a slot within their time limit, so that a
// burst of calls does not open a connection each and overrun the service's
// accept queue or its handler threads.
//
// libcurl itself is loaded and initialised at the first exchange (see
// curl_library.h); an exchange made when it cannot be loaded fails.
//
// Thread-safety: exchange() may run on any number of threads at once.
// Lifetime: every exchange must have returned before the session is
// destroyed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace tindrel {

// See curl_library.h; declared here so that this header needs no curl header.
struct CurlFunctions;
const CurlFunctions* curlLibrary() noexcept;

// Gives the loaded libcurl, or nullptr when it cannot be loaded.
using CurlLoader = const CurlFunctions* (*)() noexcept;

struct HttpRequest {
  std::string_view method;         // An HTTP token such as "GET" or "POST".
  const std::string& url;          // Absolute http URL.
  std::string_view authorization;  // Sent as the Authorization header value.
  // The body, sent with "Content-Type: application/json"; nullptr for none.
  // It is not copied and must stay alive during the exchange.
  const std::string* body;
};

struct HttpResponse {
  long status = 0;
  // The whole body; left empty for a 401 answer, whose body is never read.
  std::string body;
};

class HttpSession {
 public:
  // Exchanges that may run at once, each over a connection of its own.
  static constexpr std::size_t kMaxSlots = 8;

  // `exchangeLimit` bounds one whole exchange, connecting included.
  // `loadCurl` is called at every exchange and must return the same table
  // each time (curlLibrary does).
  explicit HttpSession(std::chrono::milliseconds exchangeLimit, CurlLoader loadCurl = &curlLibrary);
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // Makes one exchange and waits until the whole answer has arrived; the
  // wait for a free slot counts against the exchange limit. Returns
  // std::nullopt when it fails in any way (libcurl not loadable, no slot in
  // time, refused, time
  // limit, broken connection, malformed answer). Throws RequestAborted,
  // having sent nothing, when `stop` is requested before the exchange starts,
  // and, ending the exchange at once, when it is requested before the
  // exchange completes. Throws std::invalid_argument when the method is not
  // an HTTP token.
  std::optional<HttpResponse> exchange(const HttpRequest& request, std::stop_token stop);

 private:
  struct Slot;
  std::unique_ptr<Slot> takeSlot(const CurlFunctions& curl,
                                 std::chrono::steady_clock::time_point deadline,
                                 std::stop_token stop);
  void giveBack(std::unique_ptr<Slot> slot) noexcept;

  const std::chrono::milliseconds exchangeLimit_;
  const CurlLoader loadCurl_;
  std::mutex mutex_;  // Guards idle_ and slotCount_.
  std::condition_variable_any slotFreed_;
  std::vector<std::unique_ptr<Slot>> idle_;
  std::size_t slotCount_ = 0;  // Slots in existence, idle or in use.
};

}  // namespace tindrel
