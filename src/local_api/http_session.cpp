#include "local_api/http_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <new>
#include <stdexcept>

#include "local_api/bridge_error.h"
#include "local_api/curl_library.h"

namespace tindrel {
namespace {

// The longest single wait for socket activity. curl_multi_wakeup ends it at
// once on a stop request; this only bounds the wait should a wake-up be lost.
constexpr int kPollMilliseconds = 1000;

// A Content-Length beyond this is not trusted for reserving memory up front;
// the body still grows as it arrives.
constexpr curl_off_t kMaxReserve = 64 * 1024 * 1024;

// Owns a curl header list.
struct HeaderList {
  const CurlFunctions& curl;
  curl_slist* list = nullptr;
  explicit HeaderList(const CurlFunctions& functions) : curl(functions) {}
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;
  ~HeaderList() { curl.slistFreeAll(list); }
  bool append(const char* line) {
    curl_slist* const grown = curl.slistAppend(list, line);
    if (grown == nullptr) return false;
    list = grown;
    return true;
  }
};

// Where the answer body goes while it arrives.
struct Receiver {
  const CurlFunctions& curl;
  CURL* easy;
  std::string* body;
  bool started = false;
  bool discard = false;
};

size_t receive(char* data, size_t size, size_t count, void* context) noexcept {
  auto* receiver = static_cast<Receiver*>(context);
  const size_t bytes = size * count;
  if (!receiver->started) {
    receiver->started = true;
    long status = 0;
    receiver->curl.easyGetinfo(receiver->easy, CURLINFO_RESPONSE_CODE, &status);
    // A 401 answer is judged by its status alone.
    receiver->discard = status == 401;
    curl_off_t length = -1;
    if (!receiver->discard &&
        receiver->curl.easyGetinfo(receiver->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) ==
            CURLE_OK &&
        length > 0) {
      try {
        receiver->body->reserve(static_cast<size_t>(std::min(length, kMaxReserve)));
      } catch (const std::bad_alloc&) {
        return 0;  // Ends the exchange as failed.
      }
    }
  }
  if (receiver->discard) return bytes;
  try {
    receiver->body->append(data, bytes);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return bytes;
}

bool isHttpToken(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    const bool alphanumeric =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alphanumeric && std::string_view("!#$%&'*+-.^_`|~").find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

}  // namespace

struct HttpSession::Slot {
  const CurlFunctions& curl;
  CURLM* multi = nullptr;
  CURL* easy = nullptr;

  explicit Slot(const CurlFunctions& functions) : curl(functions) {}
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  ~Slot() {
    // The easy handle is never left attached; closing the multi handle closes
    // the cached connections.
    if (multi != nullptr) curl.multiCleanup(multi);
    if (easy != nullptr) curl.easyCleanup(easy);
  }
};

HttpSession::HttpSession(std::chrono::milliseconds exchangeLimit, CurlLoader loadCurl)
    : exchangeLimit_(exchangeLimit), loadCurl_(loadCurl) {
  // Giving a slot back then never allocates.
  idle_.reserve(kMaxSlots);
}

HttpSession::~HttpSession() = default;

std::unique_ptr<HttpSession::Slot> HttpSession::takeSlot(
    const CurlFunctions& curl, std::chrono::steady_clock::time_point deadline,
    std::stop_token stop) {
  {
    std::unique_lock lock(mutex_);
    const bool available = slotFreed_.wait_until(
        lock, stop, deadline, [this] { return !idle_.empty() || slotCount_ < kMaxSlots; });
    if (!available) {
      if (stop.stop_requested()) throw RequestAborted();
      return nullptr;
    }
    if (!idle_.empty()) {
      std::unique_ptr<Slot> slot = std::move(idle_.back());
      idle_.pop_back();
      return slot;
    }
    ++slotCount_;
  }
  // A new slot; should it fail, its place is freed again.
  struct Reservation {
    HttpSession& session;
    bool kept = false;
    ~Reservation() {
      if (kept) return;
      {
        const std::lock_guard lock(session.mutex_);
        --session.slotCount_;
      }
      session.slotFreed_.notify_one();
    }
  } reservation{*this};
  auto slot = std::make_unique<Slot>(curl);
  slot->multi = curl.multiInit();
  slot->easy = curl.easyInit();
  if (slot->multi == nullptr || slot->easy == nullptr) return nullptr;

  // Settings that hold for every exchange of this slot. Each one is set
  // explicitly so that neither libcurl's defaults nor the environment decide.
  CURL* const easy = slot->easy;
  bool ok = true;
  ok &= curl.easySetopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
  // An empty proxy disables every proxy, including those named by
  // environment variables; "*" also exempts every host from them.
  ok &= curl.easySetopt(easy, CURLOPT_PROXY, "") == CURLE_OK;
  ok &= curl.easySetopt(easy, CURLOPT_NOPROXY, "*") == CURLE_OK;
#if LIBCURL_VERSION_NUM >= 0x075500  // 7.85.0
  ok &= curl.easySetopt(easy, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK;
  ok &= curl.easySetopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http") == CURLE_OK;
#else
  ok &= curl.easySetopt(easy, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP)) == CURLE_OK;
  ok &=
      curl.easySetopt(easy, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP)) == CURLE_OK;
#endif
  // A redirect answer is itself the final answer.
  ok &= curl.easySetopt(easy, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
  ok &= curl.easySetopt(easy, CURLOPT_MAXREDIRS, 0L) == CURLE_OK;
  ok &= curl.easySetopt(easy, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED)) == CURLE_OK;
  ok &= curl.easySetopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) ==
        CURLE_OK;
  // Send the path exactly as checked, without resolving "." or "..".
  ok &= curl.easySetopt(easy, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK;
  ok &= curl.easySetopt(easy, CURLOPT_WRITEFUNCTION, &receive) == CURLE_OK;
  if (!ok) return nullptr;
  reservation.kept = true;
  return slot;
}

void HttpSession::giveBack(std::unique_ptr<Slot> slot) noexcept {
  {
    const std::lock_guard lock(mutex_);
    // Reserved beforehand (slotCount_ <= kMaxSlots), so this cannot throw.
    idle_.push_back(std::move(slot));
  }
  slotFreed_.notify_one();
}

std::optional<HttpResponse> HttpSession::exchange(const HttpRequest& request,
                                                  std::stop_token stop) {
  if (!isHttpToken(request.method)) throw std::invalid_argument("HTTP method is not a token");
  if (stop.stop_requested()) throw RequestAborted();
  // Loaded at the first exchange; without it no exchange can be made.
  const CurlFunctions* const loaded = loadCurl_();
  if (loaded == nullptr) return std::nullopt;
  const CurlFunctions& curl = *loaded;

  const auto deadline = std::chrono::steady_clock::now() + exchangeLimit_;
  std::unique_ptr<Slot> slot = takeSlot(curl, deadline, stop);
  if (slot == nullptr) return std::nullopt;
  // Gives the slot back on every way out, detached from its multi handle and
  // holding no pointer into this exchange.
  struct Lease {
    HttpSession& session;
    std::unique_ptr<Slot>& slot;
    bool attached = false;
    ~Lease() {
      const CurlFunctions& curl = slot->curl;
      if (attached) curl.multiRemoveHandle(slot->multi, slot->easy);
      curl.easySetopt(slot->easy, CURLOPT_HTTPHEADER, nullptr);
      curl.easySetopt(slot->easy, CURLOPT_POSTFIELDS, nullptr);
      curl.easySetopt(slot->easy, CURLOPT_WRITEDATA, nullptr);
      session.giveBack(std::move(slot));
    }
  } lease{*this, slot};
  CURL* const easy = slot->easy;
  CURLM* const multi = slot->multi;

  HeaderList headers(curl);
  std::string authorizationLine;
  authorizationLine.reserve(15 + request.authorization.size());
  authorizationLine.append("Authorization: ").append(request.authorization);
  bool ok = headers.append(authorizationLine.c_str());
  if (request.body != nullptr) ok = ok && headers.append("Content-Type: application/json");
  // Without this libcurl would hold larger POST bodies back for a second
  // waiting for "100 Continue".
  ok = ok && headers.append("Expect:");
  if (!ok) return std::nullopt;

  // Whatever of the limit the wait for a slot has left; libcurl reads 0 as
  // "no limit", so at least one millisecond.
  const auto remaining =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (remaining.count() <= 0) return std::nullopt;
  const long remainingMilliseconds = static_cast<long>(remaining.count());

  const std::string method(request.method);
  HttpResponse response;
  Receiver receiver{curl, easy, &response.body};
  ok &= curl.easySetopt(easy, CURLOPT_TIMEOUT_MS, remainingMilliseconds) == CURLE_OK;
  ok &= curl.easySetopt(easy, CURLOPT_CONNECTTIMEOUT_MS, remainingMilliseconds) == CURLE_OK;
  ok &= curl.easySetopt(easy, CURLOPT_URL, request.url.c_str()) == CURLE_OK;
  ok &= curl.easySetopt(easy, CURLOPT_HTTPHEADER, headers.list) == CURLE_OK;
  ok &= curl.easySetopt(easy, CURLOPT_WRITEDATA, &receiver) == CURLE_OK;
  if (request.body != nullptr) {
    ok &= curl.easySetopt(easy, CURLOPT_POSTFIELDS, request.body->data()) == CURLE_OK;
    ok &= curl.easySetopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                          static_cast<curl_off_t>(request.body->size())) == CURLE_OK;
    ok &= curl.easySetopt(easy, CURLOPT_CUSTOMREQUEST,
                          method == "POST" ? nullptr : method.c_str()) == CURLE_OK;
  } else {
    ok &= curl.easySetopt(easy, CURLOPT_POSTFIELDS, nullptr) == CURLE_OK;
    ok &=
        curl.easySetopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1)) == CURLE_OK;
    ok &= curl.easySetopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    ok &= curl.easySetopt(easy, CURLOPT_CUSTOMREQUEST,
                          method == "GET" ? nullptr : method.c_str()) == CURLE_OK;
  }
  if (!ok) return std::nullopt;

  // A stop request wakes the wait below at once, from whichever thread makes
  // it. curl_multi_wakeup is safe to call from another thread, and a wake-up
  // made before the wait begins is kept until the wait.
  const std::stop_callback wakeOnStop(stop, [&curl, multi]() noexcept { curl.multiWakeup(multi); });
  if (stop.stop_requested()) throw RequestAborted();

  if (curl.multiAddHandle(multi, easy) != CURLM_OK) return std::nullopt;
  lease.attached = true;
  while (true) {
    int running = 0;
    if (curl.multiPerform(multi, &running) != CURLM_OK) return std::nullopt;
    if (running == 0) break;
    if (curl.multiPoll(multi, nullptr, 0, kPollMilliseconds, nullptr) != CURLM_OK) {
      return std::nullopt;
    }
    // Removing the handle (Lease) ends the exchange and closes its connection.
    if (stop.stop_requested()) throw RequestAborted();
  }

  CURLcode result = CURLE_FAILED_INIT;
  int pending = 0;
  while (const CURLMsg* message = curl.multiInfoRead(multi, &pending)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
      result = message->data.result;
    }
  }
  if (result != CURLE_OK) return std::nullopt;
  if (curl.easyGetinfo(easy, CURLINFO_RESPONSE_CODE, &response.status) != CURLE_OK) {
    return std::nullopt;
  }
  return response;
}

}  // namespace tindrel
