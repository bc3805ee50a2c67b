#include "local_api/local_api_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "json/json_reader.h"
#include "json/json_writer.h"
#include "local_api/http_session.h"
#include "test_support.h"

namespace tindrel {
namespace {

using namespace std::chrono_literals;
using testing_support::connectionJson;
using testing_support::expectBridgeError;
using testing_support::ExpectedError;
using testing_support::FakeService;
using testing_support::TempDir;
using testing_support::writeFile;

const std::string kToken = "tk-9f8e7d6c5b4a";
const std::string kHeader = "Bearer " + kToken;

const ExpectedError kInvalidPath{"invalid_request", "Invalid local API path.",
                                 "Correct the request and retry. The original audio is unchanged."};
const ExpectedError kTransport{
    "service_unavailable", "Tindrel could not be reached within 30 seconds.",
    "Open Tindrel and retry. If submission was interrupted, reuse the same idempotencyKey; the "
    "job may already be queued. The original audio is unchanged."};
const ExpectedError kUnauthorized{
    "unauthorized", "Tindrel rejected the local connection credentials.",
    "Reopen Tindrel to refresh its private connection file, then retry. Never copy the token into "
    "chat or MCP configuration."};
const ExpectedError kUnreadable{
    "invalid_response", "Tindrel returned unreadable JSON.",
    "Check the job in Tindrel. Audio and exported result files are unchanged."};
const std::string kDefaultCode = "request_failed";
const std::string kDefaultMessage = "Tindrel rejected the request.";
const std::string kDefaultSuggestion =
    "Check Tindrel and retry with the same idempotencyKey. The original audio is unchanged.";

// A connection file in a fresh directory pointing at `baseURL`.
class ConnectionFile {
 public:
  explicit ConnectionFile(const std::string& baseURL, const std::string& header = kHeader) {
    write(baseURL, header);
  }
  void write(const std::string& baseURL, const std::string& header = kHeader) const {
    writeFile(path(), connectionJson(baseURL, header));
  }
  std::string path() const { return dir_.file("connection.json"); }

 private:
  TempDir dir_;
};

// A port on 127.0.0.1 with nothing listening (bound, then closed).
int closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot find a free port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

// Sets an environment variable for the life of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::string& value) : name_(std::move(name)) {
    ::setenv(name_.c_str(), value.c_str(), 1);
  }
  ~ScopedEnvironment() { ::unsetenv(name_.c_str()); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
};

JsonObject get(const LocalAPIClient& client, std::string_view path) {
  return client.request("GET", path, nullptr, std::stop_token());
}

TEST(LocalAPIRequestTest, SendsMethodPathAndAuthorizationWithoutBody) {
  FakeService service;
  const ConnectionFile file(service.baseURL());
  const LocalAPIClient client(file.path());

  EXPECT_EQ(get(client, "/api/v1/health"), (JsonObject{{"ok", true}}));

  const auto received = service.received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].method, "GET");
  EXPECT_EQ(received[0].path, "/api/v1/health");
  EXPECT_EQ(received[0].header("Authorization"), kHeader);
  EXPECT_FALSE(received[0].hasHeader("Content-Type"));
  EXPECT_FALSE(received[0].hasHeader("Cookie"));
  EXPECT_EQ(received[0].body, "");
}

TEST(LocalAPIRequestTest, SendsABodyAsJsonWithItsContentType) {
  FakeService service;
  const ConnectionFile file(service.baseURL());
  const LocalAPIClient client(file.path());
  // Large enough that libcurl would otherwise ask for "100 Continue" first.
  const JsonObject body{{"filePath", "/Users/me/a \"quoted\" \xC3\xA9.m4a"},
                        {"idempotencyKey", std::string(2 * 1024 * 1024, 'k')},
                        {"includeTimestamps", true},
                        {"nested", JsonArray{1, 2.5, nullptr}}};

  EXPECT_EQ(client.request("POST", "/api/v1/transcribe", &body, std::stop_token()),
            (JsonObject{{"ok", true}}));

  const auto received = service.received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].method, "POST");
  EXPECT_EQ(received[0].path, "/api/v1/transcribe");
  EXPECT_EQ(received[0].header("Authorization"), kHeader);
  EXPECT_EQ(received[0].header("Content-Type"), "application/json");
  EXPECT_FALSE(received[0].hasHeader("Expect"));
  EXPECT_EQ(readJson(received[0].body), JsonValue(body));
}

TEST(LocalAPIRequestTest, SendsTheHeaderValueCharacterForCharacter) {
  FakeService service;
  // The file holds the value JSON-escaped; it is sent as it decodes.
  const ConnectionFile file(service.baseURL(), "Bearer a\\tb c\\u00e9");
  (void)get(LocalAPIClient(file.path()), "/api/v1/health");
  ASSERT_EQ(service.received().size(), 1u);
  EXPECT_EQ(service.received()[0].header("Authorization"), "Bearer a\tb c\xC3\xA9");
}

TEST(LocalAPIRequestTest, JoinsThePathToTheBaseURLWithOneSlash) {
  FakeService service;
  for (const std::string& baseURL : {service.baseURL(), service.baseURL() + "/"}) {
    SCOPED_TRACE(baseURL);
    const ConnectionFile file(baseURL);
    (void)get(LocalAPIClient(file.path()), "/api/v1/jobs/6F9619FF-8B86-D011-B42D-00CF4FC964FF");
  }
  const auto received = service.received();
  ASSERT_EQ(received.size(), 2u);
  for (const auto& request : received) {
    EXPECT_EQ(request.path, "/api/v1/jobs/6F9619FF-8B86-D011-B42D-00CF4FC964FF");
  }
}

TEST(LocalAPIRequestTest, RefusesPathsOutsideTheAPIBeforeSending) {
  FakeService service;
  const ConnectionFile file(service.baseURL());
  const LocalAPIClient client(file.path());
  for (const std::string_view path :
       {"/api/v2/health", "api/v1/health", "/API/v1/health", "/api/v1", "", "//api/v1/health",
        "/api/v1/a b", "/api/v1/%zz", "/api/v1/x\r\nX-Injected: 1"}) {
    SCOPED_TRACE(path);
    expectBridgeError([&] { (void)get(client, path); }, kInvalidPath);
  }
  EXPECT_TRUE(service.received().empty());

  // The prefix alone is a valid path.
  (void)get(client, "/api/v1/");
  ASSERT_EQ(service.received().size(), 1u);
  EXPECT_EQ(service.received()[0].path, "/api/v1/");
}

TEST(LocalAPIRequestTest, ChecksTheConnectionFileFirst) {
  FakeService service;
  const TempDir dir;
  const LocalAPIClient client(dir.file("connection.json"));
  // Even an invalid path reports the missing file first.
  expectBridgeError([&] { (void)get(client, "/elsewhere"); }, testing_support::kUnavailable);
  writeFile(dir.file("connection.json"), connectionJson("http://localhost:1", kHeader));
  expectBridgeError([&] { (void)get(client, "/api/v1/health"); }, testing_support::kNotLocal);
}

TEST(LocalAPIRequestTest, FollowsAReplacedConnectionFileOnTheNextCall) {
  FakeService first;
  FakeService second;
  const ConnectionFile file(first.baseURL(), "Bearer first-token");
  const LocalAPIClient client(file.path());
  (void)get(client, "/api/v1/health");
  file.write(second.baseURL(), "Bearer second-token");
  (void)get(client, "/api/v1/health");
  ASSERT_EQ(first.received().size(), 1u);
  ASSERT_EQ(second.received().size(), 1u);
  EXPECT_EQ(first.received()[0].header("Authorization"), "Bearer first-token");
  EXPECT_EQ(second.received()[0].header("Authorization"), "Bearer second-token");
}

TEST(LocalAPIRequestTest, LetsABodyThatCannotBeWrittenFailUnchanged) {
  FakeService service;
  const ConnectionFile file(service.baseURL());
  const JsonObject body{{"x", std::numeric_limits<double>::infinity()}};
  EXPECT_THROW((void)LocalAPIClient(file.path()).request("POST", "/api/v1/transcribe", &body, {}),
               JsonWriteError);
  EXPECT_TRUE(service.received().empty());
}

// An answer of the service and what request() makes of it.
struct StatusCase {
  const char* name;
  int status;
  std::string body;
  std::optional<JsonObject> result;  // the returned object, or
  ExpectedError error;               // the error when there is no result
};

TEST(LocalAPIRequestTest, JudgesTheAnswerByItsStatusAndBody) {
  const StatusCase cases[] = {
      {"200 object",
       200,
       R"({"ready":true,"models":["a"]})",
       JsonObject{{"ready", true}, {"models", JsonArray{"a"}}},
       {}},
      {"201 object",
       201,
       R"({"jobId":"6F9619FF-8B86-D011-B42D-00CF4FC964FF"})",
       JsonObject{{"jobId", "6F9619FF-8B86-D011-B42D-00CF4FC964FF"}},
       {}},
      {"401 with an error object", 401, R"({"code":"other","error":"Other."})", std::nullopt,
       kUnauthorized},
      {"401 with a body that is no JSON", 401, "<html>no</html>", std::nullopt, kUnauthorized},
      {"403 with code and error, no suggestion",
       403,
       R"({"code":"forbidden_path","error":"That file is outside the sandbox."})",
       std::nullopt,
       {"forbidden_path", "That file is outside the sandbox.", kDefaultSuggestion}},
      {"500 with a numeric code",
       500,
       R"({"code":500,"error":"Internal failure."})",
       std::nullopt,
       {kDefaultCode, "Internal failure.", kDefaultSuggestion}},
      {"404 with members of other kinds",
       404,
       R"({"code":null,"error":{"text":"x"},"recoverySuggestion":"Restart the app."})",
       std::nullopt,
       {kDefaultCode, kDefaultMessage, "Restart the app."}},
      {"409 with an empty object",
       409,
       "{}",
       std::nullopt,
       {kDefaultCode, kDefaultMessage, kDefaultSuggestion}},
      {"200 with an empty body", 200, "", std::nullopt, kUnreadable},
      {"200 with a JSON array", 200, "[1,2]", std::nullopt, kUnreadable},
      {"200 with a JSON string", 200, R"("ok")", std::nullopt, kUnreadable},
      {"200 with trailing text", 200, R"({"a":1} x)", std::nullopt, kUnreadable},
      {"200 with invalid UTF-8", 200, "{\"a\":\"\xFF\xFE\"}", std::nullopt, kUnreadable},
      {"200 nested 100,000 deep", 200, std::string(100000, '[') + std::string(100000, ']'),
       std::nullopt, kUnreadable},
      {"500 whose body is no JSON", 500, "Internal Server Error", std::nullopt, kUnreadable},
  };
  for (const StatusCase& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    FakeService service(FakeService::answerWith(testCase.status, testCase.body));
    const ConnectionFile file(service.baseURL());
    const LocalAPIClient client(file.path());
    if (testCase.result) {
      EXPECT_EQ(get(client, "/api/v1/health"), *testCase.result);
    } else {
      expectBridgeError([&] { (void)get(client, "/api/v1/health"); }, testCase.error);
    }
  }
}

TEST(LocalAPIRequestTest, JudgesARedirectItselfWithoutFollowingIt) {
  FakeService target;
  FakeService service([&target](const httplib::Request&, httplib::Response& response) {
    response.status = 302;
    response.set_header("Location", target.baseURL() + "/api/v1/health");
    response.set_content(R"({"code":"moved","error":"Moved elsewhere."})", "application/json");
  });
  const ConnectionFile file(service.baseURL());
  expectBridgeError([&] { (void)get(LocalAPIClient(file.path()), "/api/v1/health"); },
                    {"moved", "Moved elsewhere.", kDefaultSuggestion});
  EXPECT_EQ(service.received().size(), 1u);
  EXPECT_TRUE(target.received().empty());
}

TEST(LocalAPIRequestTest, UsesNoProxyWhateverTheEnvironmentSays) {
  FakeService decoy;
  FakeService service;
  const ScopedEnvironment lower("http_proxy", decoy.baseURL());
  const ScopedEnvironment upper("HTTP_PROXY", decoy.baseURL());
  const ScopedEnvironment all("ALL_PROXY", decoy.baseURL());
  const ScopedEnvironment allLower("all_proxy", decoy.baseURL());
  const ScopedEnvironment noProxy("no_proxy", "");
  const ConnectionFile file(service.baseURL());

  EXPECT_EQ(get(LocalAPIClient(file.path()), "/api/v1/health"), (JsonObject{{"ok", true}}));
  EXPECT_EQ(service.received().size(), 1u);
  EXPECT_TRUE(decoy.received().empty());
}

TEST(LocalAPIRequestTest, ReportsAServiceThatNeverAnswersAfterTheLimit) {
  FakeService service(FakeService::neverAnswers());
  const ConnectionFile file(service.baseURL());
  const LocalAPIClient client(file.path(), 300ms);
  expectBridgeError([&] { (void)get(client, "/api/v1/health"); }, kTransport);
  EXPECT_EQ(service.received().size(), 1u);
}

TEST(LocalAPIRequestTest, ReportsAPortWithNothingListening) {
  const ConnectionFile file("http://127.0.0.1:" + std::to_string(closedPort()));
  expectBridgeError([&] { (void)get(LocalAPIClient(file.path()), "/api/v1/health"); }, kTransport);
}

TEST(LocalAPIRequestTest, EndsAHangingExchangeWhenStopIsRequested) {
  FakeService service(FakeService::neverAnswers());
  const ConnectionFile file(service.baseURL());
  // The limit is far beyond the wait below, so only the stop request can end
  // the exchange in time.
  const LocalAPIClient client(file.path(), 120s);
  std::stop_source stop;
  auto pending = std::async(std::launch::async, [&] {
    return client.request("GET", "/api/v1/health", nullptr, stop.get_token());
  });
  ASSERT_TRUE(service.waitForRequests(1));
  stop.request_stop();
  ASSERT_EQ(pending.wait_for(60s), std::future_status::ready) << "the exchange did not end";
  EXPECT_THROW(pending.get(), RequestAborted);

  // The client stays usable: the next request gets a slot and reaches the
  // service (which hangs again, so a short stop ends it too).
  std::stop_source second;
  auto next = std::async(std::launch::async, [&] {
    return client.request("GET", "/api/v1/health", nullptr, second.get_token());
  });
  ASSERT_TRUE(service.waitForRequests(2));
  second.request_stop();
  ASSERT_EQ(next.wait_for(60s), std::future_status::ready);
  EXPECT_THROW(next.get(), RequestAborted);
}

TEST(LocalAPIRequestTest, QueuesExchangesBeyondTheConnectionLimitAbortably) {
  // Set once the service exists; read by its threads, which learn of it only
  // through the socket, a hand-over the race checker cannot see.
  std::atomic<FakeService*> self{nullptr};
  FakeService service([&self](const httplib::Request& request, httplib::Response& response) {
    if (request.path == "/api/v1/hang") self.load()->hangUntilReleased();
    response.set_content(R"({"ok":true})", "application/json");
  });
  self.store(&service);
  const ConnectionFile file(service.baseURL());
  const LocalAPIClient client(file.path(), 120s);
  const std::size_t limit = HttpSession::kMaxSlots;

  std::vector<std::stop_source> stops(limit + 1);
  std::vector<std::future<JsonObject>> hanging;
  for (std::size_t i = 0; i < limit; ++i) {
    hanging.push_back(std::async(std::launch::async, [&client, token = stops[i].get_token()] {
      return client.request("GET", "/api/v1/hang", nullptr, token);
    }));
  }
  ASSERT_TRUE(service.waitForRequests(limit));
  // One more waits for a connection instead of opening another.
  auto queued = std::async(std::launch::async, [&client, token = stops[limit].get_token()] {
    return client.request("GET", "/api/v1/health", nullptr, token);
  });
  EXPECT_EQ(queued.wait_for(300ms), std::future_status::timeout);
  EXPECT_EQ(service.received().size(), limit);

  // A stop request ends the wait for a connection as it ends an exchange.
  stops[limit].request_stop();
  ASSERT_EQ(queued.wait_for(60s), std::future_status::ready);
  EXPECT_THROW(queued.get(), RequestAborted);
  for (std::size_t i = 0; i < limit; ++i) {
    stops[i].request_stop();
    ASSERT_EQ(hanging[i].wait_for(60s), std::future_status::ready);
    EXPECT_THROW(hanging[i].get(), RequestAborted);
  }
  EXPECT_EQ(service.received().size(), limit);

  // Every connection is free again (and so are the service's threads).
  service.releaseHangs();
  for (std::size_t i = 0; i <= limit; ++i) {
    EXPECT_EQ(get(client, "/api/v1/health"), (JsonObject{{"ok", true}}));
  }
}

TEST(LocalAPIRequestTest, SendsNothingWhenStopWasAlreadyRequested) {
  FakeService service;
  const ConnectionFile file(service.baseURL());
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(
      (void)LocalAPIClient(file.path()).request("GET", "/api/v1/health", nullptr, stop.get_token()),
      RequestAborted);
  EXPECT_TRUE(service.received().empty());
}

TEST(LocalAPIRequestTest, NeverLetsTheCredentialThrough) {
  const std::string base64OfTokenText = "c2VjcmV0OiB0ay05ZjhlN2Q2YzViNGE=";  // "secret: <token>"
  FakeService success(FakeService::answerWith(
      200, R"({"Token":")" + kToken + R"(","nested":{"AUTHORIZATION":")" + kHeader +
               R"(","echo":"sent )" + kHeader + R"( and )" + kToken + R"("},"list":[")" + kToken +
               R"("],"attachment":"data:text/plain;base64,)" + base64OfTokenText + R"(","key-)" +
               kToken + R"(":1})"));
  const ConnectionFile successFile(success.baseURL());
  const JsonObject result = get(LocalAPIClient(successFile.path()), "/api/v1/health");
  const std::string written = writeJson(JsonValue(result));
  EXPECT_EQ(written.find(kToken), std::string::npos) << written;
  EXPECT_EQ(written.find(kHeader), std::string::npos) << written;
  EXPECT_EQ(result.count("Token"), 0u);
  EXPECT_EQ(result.at("nested"), JsonValue(JsonObject{{"echo", "sent [redacted] and [redacted]"}}));
  EXPECT_EQ(result.at("attachment"), JsonValue(ByteData{"secret: [redacted]", "text/plain"}));
  EXPECT_EQ(result.count("key-[redacted]"), 1u);

  FakeService failure(FakeService::answerWith(
      403, R"({"code":"bad_)" + kToken + R"(","error":"Refused )" + kHeader +
               R"(.","recoverySuggestion":"Do not send )" + kToken + R"( again."})"));
  const ConnectionFile failureFile(failure.baseURL());
  expectBridgeError([&] { (void)get(LocalAPIClient(failureFile.path()), "/api/v1/health"); },
                    {"bad_[redacted]", "Refused [redacted].", "Do not send [redacted] again."});
}

TEST(LocalAPIRequestTest, ServesConcurrentRequestsOverReusedConnections) {
  FakeService service([](const httplib::Request& request, httplib::Response& response) {
    response.set_content(R"({"path":")" + request.path + R"("})", "application/json");
  });
  const ConnectionFile file(service.baseURL());
  const LocalAPIClient client(file.path());
  constexpr int kThreads = 8;
  constexpr int kRequestsPerThread = 40;
  std::vector<std::future<int>> workers;
  for (int thread = 0; thread < kThreads; ++thread) {
    workers.push_back(std::async(std::launch::async, [&client, thread] {
      int correct = 0;
      for (int i = 0; i < kRequestsPerThread; ++i) {
        const std::string path = "/api/v1/jobs/" + std::to_string(thread) + "-" + std::to_string(i);
        if (get(client, path) == JsonObject{{"path", path}}) ++correct;
      }
      return correct;
    }));
  }
  for (auto& worker : workers) EXPECT_EQ(worker.get(), kRequestsPerThread);

  // Requests one after another go over one kept connection.
  const std::size_t before = service.received().size();
  for (int i = 0; i < 10; ++i) (void)get(client, "/api/v1/health");
  const auto received = service.received();
  ASSERT_EQ(received.size(), before + 10);
  std::set<int> ports;
  for (std::size_t i = before; i < received.size(); ++i) ports.insert(received[i].remotePort);
  EXPECT_EQ(ports.size(), 1u);
}

}  // namespace
}  // namespace tindrel
