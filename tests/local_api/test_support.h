// Helpers shared by the tests of the connection to the app's service: a
// fresh temporary directory, files with a given mode, the expected errors as
// the client sees them, and an in-process fake of the service on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "local_api/bridge_error.h"

namespace tindrel::testing_support {

// The three texts of an expected BridgeError, written out in full.
struct ExpectedError {
  std::string code;
  std::string message;
  std::string recoverySuggestion;
};

inline const std::string kConnectionRecovery =
    "Open Tindrel on this Mac and wait for its local service. Reconnect the MCP server. Do not "
    "paste a token.";
inline const ExpectedError kUnavailable{
    "service_unavailable", "Tindrel connection information is unavailable.", kConnectionRecovery};
inline const ExpectedError kUnsafeFile{
    "invalid_connection", "Tindrel connection file must be a private, owner-only regular file.",
    kConnectionRecovery};
inline const ExpectedError kNotLocal{"invalid_connection",
                                     "Tindrel connection information is invalid or not local.",
                                     kConnectionRecovery};

// Runs `action` and checks that it throws exactly `expected`.
template <typename Action>
void expectBridgeError(Action&& action, const ExpectedError& expected) {
  try {
    action();
    ADD_FAILURE() << "no error; expected " << expected.code << ": " << expected.message;
  } catch (const BridgeError& error) {
    EXPECT_EQ(error.code(), expected.code);
    EXPECT_EQ(error.message(), expected.message);
    EXPECT_EQ(error.recoverySuggestion(), expected.recoverySuggestion);
  }
}

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tindrel-local-api-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Writes `content` to `path` (replacing it) and sets its mode exactly.
inline void writeFile(const std::string& path, const std::string& content, mode_t mode = 0600) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  if (::chmod(path.c_str(), mode) != 0) throw std::runtime_error("chmod failed");
}

// A valid connection file's content for `baseURL` and `header`.
inline std::string connectionJson(const std::string& baseURL, const std::string& header) {
  return R"({"apiVersion":"v1","baseURL":")" + baseURL + R"(","authorizationHeader":")" + header +
         R"(","localOnly":true})";
}

// One request as the fake service received it.
struct ReceivedRequest {
  std::string method;
  std::string path;
  std::string body;
  httplib::Headers headers;
  int remotePort = 0;

  bool hasHeader(const std::string& name) const { return headers.count(name) != 0; }
  std::string header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
};

// An in-process HTTP service on 127.0.0.1 with an ephemeral port. Every
// request is recorded, then answered by `answer`; with neverAnswers() the
// service accepts the request and then waits until its hangs are released.
class FakeService {
 public:
  using Answer = std::function<void(const httplib::Request&, httplib::Response&)>;

  explicit FakeService(Answer answer = defaultAnswer()) : answer_(std::move(answer)) {
    const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
      {
        const std::lock_guard lock(mutex_);
        received_.push_back(ReceivedRequest{request.method, request.path, request.body,
                                            request.headers, request.remote_port});
      }
      changed_.notify_all();
      if (answer_) {
        answer_(request, response);
      } else {
        hangUntilReleased();
      }
    };
    server_.Get(".*", handle);
    server_.Post(".*", handle);
    server_.Put(".*", handle);
    server_.Delete(".*", handle);
    server_.set_keep_alive_max_count(1000);
    server_.set_tcp_nodelay(true);
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot bind the fake service");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() only ends a server that is already running: wait for it, so that
    // a fake destroyed at once does not leave its thread accepting forever.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  ~FakeService() {
    releaseHangs();
    server_.stop();
    thread_.join();
  }

  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  static Answer defaultAnswer() {
    return [](const httplib::Request&, httplib::Response& response) {
      response.set_content(R"({"ok":true})", "application/json");
    };
  }
  static Answer answerWith(int status, std::string body) {
    return [status, body](const httplib::Request&, httplib::Response& response) {
      response.status = status;
      response.set_content(body, "application/json");
    };
  }

  static Answer neverAnswers() { return nullptr; }

  int port() const { return port_; }
  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

  std::vector<ReceivedRequest> received() const {
    const std::lock_guard lock(mutex_);
    return received_;
  }

  // Ends every hang, present and future.
  void releaseHangs() {
    {
      const std::lock_guard lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }

  // Blocks the calling handler until releaseHangs() or the fake's end.
  void hangUntilReleased() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return released_; });
  }

  // Waits (at most a generous while) until `count` requests have arrived.
  bool waitForRequests(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20),
                             [&] { return received_.size() >= count; });
  }

 private:
  Answer answer_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ReceivedRequest> received_;
  bool released_ = false;
};

}  // namespace tindrel::testing_support
