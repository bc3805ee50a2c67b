// The local API as clients see it, served in-process on 127.0.0.1 with a
// clock that the tests move by hand, so job states are reached exactly and
// without sleeping.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/json.hpp>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "companion_test_support.h"
#include "gtest/gtest.h"
#include "job_table.h"
#include "service.h"

namespace tindrel::companion {
namespace {

using testing::fingerprint;
using testing::readFile;
using testing::writeFile;
using testing::writeWav;
using TimePoint = std::chrono::system_clock::time_point;

const std::string kToken = "0123456789abcdef0123456789abcdef";
const std::string kAuthorization = "Bearer " + kToken;

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest()
      : jobs_(dir_.path() / "Agent" / "Jobs", 1.0, [this] { return now_.load(); }),
        service_(jobs_, kAuthorization, 1.0) {
    std::filesystem::create_directories(recordings());
    service_.install(server_);
    port_ = server_.bind_to_any_port("127.0.0.1");
    serving_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 5000 && !server_.is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~ServiceTest() override {
    server_.stop();
    serving_.join();
  }

  std::filesystem::path recordings() const { return dir_.path() / "Recordings"; }

  void advance(double seconds) {
    now_ = now_.load() +
           std::chrono::duration_cast<TimePoint::duration>(std::chrono::duration<double>(seconds));
  }

  httplib::Client client() const {
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(5);
    client.set_read_timeout(10);
    return client;
  }

  httplib::Result get(const std::string& path) {
    return client().Get(path.c_str(), {{"Authorization", kAuthorization}});
  }

  httplib::Result submit(const boost::json::object& body) {
    return client().Post("/api/v1/transcribe", {{"Authorization", kAuthorization}},
                         boost::json::serialize(body), "application/json");
  }

  httplib::Result submit(const std::filesystem::path& file, const std::string& key,
                         boost::json::object flags = {}) {
    flags["filePath"] = file.string();
    flags["idempotencyKey"] = key;
    return submit(flags);
  }

  static boost::json::object body(const httplib::Result& result) {
    EXPECT_TRUE(result) << "no answer";
    if (!result) return {};
    boost::json::value value = boost::json::parse(result->body);
    EXPECT_TRUE(value.is_object()) << result->body;
    return value.is_object() ? value.get_object() : boost::json::object{};
  }

  static std::string text(const boost::json::object& object, const char* key) {
    const boost::json::value* value = object.if_contains(key);
    return value != nullptr && value->is_string() ? std::string(value->get_string()) : "";
  }

  // Sends `request` as it is and returns everything the server answers.
  std::string rawExchange(const std::string& request) const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
      char buffer[1024];
      ssize_t n;
      while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        reply.append(buffer, static_cast<std::size_t>(n));
      }
    }
    ::close(fd);
    return reply;
  }

  boost::json::object job(const std::string& id) { return body(get("/api/v1/jobs/" + id)); }

  static void expectErrorObject(const boost::json::object& error, const std::string& code) {
    EXPECT_EQ(text(error, "code"), code);
    EXPECT_FALSE(text(error, "error").empty());
    EXPECT_NE(text(error, "recoverySuggestion").find("The original audio is unchanged."),
              std::string::npos);
  }

  testing::TemporaryDirectory dir_;
  std::atomic<TimePoint> now_{TimePoint{} + std::chrono::hours(24 * 365 * 50)};
  JobTable jobs_;
  Service service_;
  httplib::Server server_;
  int port_ = 0;
  std::thread serving_;
};

TEST_F(ServiceTest, RefusesEveryRequestWithoutTheExactAuthorization) {
  const std::string wav = (recordings() / "a.wav").string();
  writeWav(wav, 1);
  const std::vector<httplib::Headers> refused = {
      {},
      {{"Authorization", "Bearer wrong"}},
      {{"Authorization", kToken}},
      {{"Authorization", "bearer " + kToken}},
      {{"Authorization", kAuthorization + "0"}},
  };
  for (const httplib::Headers& headers : refused) {
    for (const std::string path : {"/api/v1/health", "/api/v1/jobs/x", "/elsewhere"}) {
      const httplib::Result result = client().Get(path.c_str(), headers);
      ASSERT_TRUE(result);
      EXPECT_EQ(result->status, 401) << path;
      expectErrorObject(body(result), "unauthorized");
    }
    const boost::json::object request{{"filePath", wav}, {"idempotencyKey", "k"}};
    const httplib::Result result = client().Post(
        "/api/v1/transcribe", headers, boost::json::serialize(request), "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 401);
  }
  // Two Authorization headers are refused even when one of them is right.
  // (Sent by hand: the HTTP client keeps only one header of a name.)
  for (const std::string order : {"right-first", "wrong-first"}) {
    const std::string right = "Authorization: " + kAuthorization + "\r\n";
    const std::string wrong = "Authorization: Bearer wrong\r\n";
    const std::string reply = rawExchange("GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                          (order == "right-first" ? right + wrong : wrong + right) +
                                          "Connection: close\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 401", 0), 0u) << reply;
  }
  // Nothing was queued by the refused requests.
  EXPECT_EQ(jobs_.counts().queued, 0u);
  EXPECT_EQ(get("/api/v1/health")->status, 200);
}

TEST_F(ServiceTest, HealthSaysTheEngineIsAStandIn) {
  const httplib::Result result = get("/api/v1/health");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  const boost::json::object health = body(result);
  EXPECT_EQ(health.at("ready"), true);
  EXPECT_EQ(health.at("engine").at("standIn"), true);
  EXPECT_NE(text(health.at("engine").get_object(), "description").find("Stand-in"),
            std::string::npos);
}

TEST_F(ServiceTest, TranscribeRefusesInvalidRequests) {
  const std::string wav = (recordings() / "ok.wav").string();
  writeWav(wav, 1);
  struct Case {
    std::string contentType;
    std::string body;
    int status;
    std::string code;
  };
  const std::string missing = (recordings() / "missing.wav").string();
  const std::string directory = recordings().string();
  const std::vector<Case> cases = {
      {"text/plain", R"({"filePath":")" + wav + R"(","idempotencyKey":"k"})", 415,
       "unsupported_media_type"},
      {"application/json", "not json", 400, "invalid_request"},
      {"application/json", R"(["a"])", 400, "invalid_request"},
      {"application/json", R"({"idempotencyKey":"k"})", 400, "invalid_file_path"},
      {"application/json", R"({"filePath":"relative.wav","idempotencyKey":"k"})", 400,
       "invalid_file_path"},
      {"application/json", R"({"filePath":")" + wav + R"(\u0000x","idempotencyKey":"k"})", 400,
       "invalid_file_path"},
      {"application/json", R"({"filePath":")" + wav + R"("})", 400, "invalid_idempotency_key"},
      {"application/json", R"({"filePath":")" + wav + R"(","idempotencyKey":""})", 400,
       "invalid_idempotency_key"},
      {"application/json", R"({"filePath":")" + wav + R"(","idempotencyKey":7})", 400,
       "invalid_idempotency_key"},
      {"application/json",
       R"({"filePath":")" + wav + R"(","idempotencyKey":"k","includeTimestamps":"yes"})", 400,
       "invalid_arguments"},
      {"application/json",
       R"({"filePath":")" + wav + R"(","idempotencyKey":"k","identifySpeakers":null})", 400,
       "invalid_arguments"},
      {"application/json", R"({"filePath":")" + missing + R"(","idempotencyKey":"k"})", 404,
       "file_not_found"},
      {"application/json", R"({"filePath":")" + directory + R"(","idempotencyKey":"k"})", 404,
       "file_not_found"},
  };
  for (const Case& c : cases) {
    const httplib::Result result = client().Post(
        "/api/v1/transcribe", {{"Authorization", kAuthorization}}, c.body, c.contentType.c_str());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status) << c.body;
    expectErrorObject(body(result), c.code);
  }
  EXPECT_EQ(jobs_.counts().queued, 0u);
  // A charset parameter is fine.
  const httplib::Result accepted = client().Post(
      "/api/v1/transcribe", {{"Authorization", kAuthorization}},
      R"({"filePath":")" + wav + R"(","idempotencyKey":"k"})", "application/json; charset=utf-8");
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->status, 202);
}

TEST_F(ServiceTest, SameIdempotencyKeyAnswersTheFirstJob) {
  const std::filesystem::path first = recordings() / "first.wav";
  const std::filesystem::path second = recordings() / "second.wav";
  writeWav(first, 2);
  writeWav(second, 2);

  const httplib::Result created = submit(first, "key-1");
  ASSERT_TRUE(created);
  EXPECT_EQ(created->status, 202);
  const boost::json::object job = body(created);
  const std::string id = text(job, "jobId");
  EXPECT_EQ(text(job, "status"), "queued");
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(id.find_first_of("abcdef"), std::string::npos) << "job ids are upper case";

  // The same key with other arguments, and even once the file has gone, still
  // answers the first job.
  const httplib::Result again = submit(second, "key-1", {{"identifySpeakers", true}});
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200);
  EXPECT_EQ(text(body(again), "jobId"), id);
  EXPECT_EQ(text(body(again), "sourceFilePath"), first.string());
  std::filesystem::remove(first);
  EXPECT_EQ(text(body(submit(first, "key-1")), "jobId"), id);

  const std::string other = text(body(submit(second, "key-2")), "jobId");
  EXPECT_NE(other, id);
  EXPECT_EQ(jobs_.counts().queued, 2u);
}

TEST_F(ServiceTest, ConcurrentSubmissionsWithOneKeyCreateOneJob) {
  const std::filesystem::path wav = recordings() / "shared.wav";
  writeWav(wav, 1);
  std::vector<std::string> ids(8);
  std::vector<std::thread> threads;
  for (std::string& id : ids) {
    threads.emplace_back([&] { id = text(body(submit(wav, "one-key")), "jobId"); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 1u);
  EXPECT_FALSE(ids.front().empty());
  EXPECT_EQ(jobs_.counts().queued, 1u);
}

TEST_F(ServiceTest, JobMovesFromQueuedThroughRunningToCompleted) {
  const std::filesystem::path wav = recordings() / "talk.wav";
  writeWav(wav, 10);
  const std::string id = text(body(submit(wav, "k")), "jobId");

  const boost::json::object queued = job(id);
  EXPECT_EQ(text(queued, "status"), "queued");
  EXPECT_EQ(queued.at("progress").to_number<double>(), 0.0);
  EXPECT_FALSE(text(queued, "progressDescription").empty());
  EXPECT_FALSE(text(queued, "agentMessage").empty());
  EXPECT_FALSE(queued.contains("result"));

  advance(0.5 + 5);  // out of the queue, halfway through a 10-second run
  const boost::json::object running = job(id);
  EXPECT_EQ(text(running, "status"), "running");
  const double progress = running.at("progress").to_number<double>();
  EXPECT_GT(progress, 0.4);
  EXPECT_LT(progress, 0.6);
  EXPECT_FALSE(text(running, "progressDescription").empty());
  EXPECT_FALSE(text(running, "agentMessage").empty());
  EXPECT_FALSE(text(running, "heartbeatAt").empty());
  EXPECT_FALSE(running.contains("result"));
  EXPECT_EQ(jobs_.counts().running, 1u);

  advance(5);
  const boost::json::object completed = job(id);
  EXPECT_EQ(text(completed, "status"), "completed");
  EXPECT_EQ(completed.at("progress").to_number<double>(), 1.0);
  const boost::json::array& utterances = completed.at("result").at("utterances").get_array();
  ASSERT_EQ(utterances.size(), 2u) << "one synthetic utterance per 5 seconds";
  EXPECT_FALSE(text(utterances[0].get_object(), "text").empty());

  // The output files exist, hold the transcript, and live in the service's
  // own directory rather than next to the audio.
  const std::filesystem::path markdown = text(completed, "outputMarkdownPath");
  const std::filesystem::path json = text(completed, "outputJSONPath");
  EXPECT_EQ(boost::json::parse(readFile(json)), completed.at("result"));
  EXPECT_NE(readFile(markdown).find(std::string(utterances[1].at("text").get_string())),
            std::string::npos);
  for (const auto& output : {markdown, json}) {
    EXPECT_NE(output.parent_path().parent_path(), recordings());
    EXPECT_EQ(output.string().rfind((dir_.path() / "Agent" / "Jobs").string(), 0), 0u);
  }
  EXPECT_EQ(job(id), completed) << "a finished job no longer changes";
}

TEST_F(ServiceTest, UtterancesHonourTheFlags) {
  struct Case {
    boost::json::object flags;
    std::set<std::string> keys;
  };
  const std::vector<Case> cases = {
      {{}, {"text"}},
      {{{"includeTimestamps", false}, {"identifySpeakers", false}}, {"text"}},
      {{{"includeTimestamps", true}}, {"text", "start", "end"}},
      {{{"identifySpeakers", true}}, {"text", "start", "end", "speaker"}},
      {{{"includeTimestamps", true}, {"identifySpeakers", true}},
       {"text", "start", "end", "speaker"}},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::filesystem::path wav = recordings() / ("flags" + std::to_string(index) + ".wav");
    writeWav(wav, 7);
    const std::string id =
        text(body(submit(wav, "flags-" + std::to_string(index++), c.flags)), "jobId");
    advance(60);
    const boost::json::object completed = job(id);
    ASSERT_EQ(text(completed, "status"), "completed");
    for (const boost::json::value& utterance :
         completed.at("result").at("utterances").get_array()) {
      std::set<std::string> keys;
      for (const auto& member : utterance.get_object()) keys.insert(std::string(member.key()));
      EXPECT_EQ(keys, c.keys) << boost::json::serialize(c.flags);
    }
  }
}

TEST_F(ServiceTest, JobsRunOneAfterAnother) {
  const std::filesystem::path a = recordings() / "a.wav";
  const std::filesystem::path b = recordings() / "b.wav";
  writeWav(a, 10);
  writeWav(b, 10);
  const std::string first = text(body(submit(a, "a")), "jobId");
  const std::string second = text(body(submit(b, "b")), "jobId");
  advance(5);
  EXPECT_EQ(text(job(first), "status"), "running");
  const boost::json::object waiting = job(second);
  EXPECT_EQ(text(waiting, "status"), "queued");
  EXPECT_EQ(waiting.at("jobsAhead"), 1);
  advance(6);
  EXPECT_EQ(text(job(first), "status"), "completed");
  EXPECT_EQ(text(job(second), "status"), "running");
}

TEST_F(ServiceTest, FailureSwitchEndsJobsWithTheirStatus) {
  struct Case {
    std::string fileName;
    std::string status;
    std::string errorCode;  // empty: no errorCode member
    bool keepsRecoveryCopy;
  };
  const std::vector<Case> cases = {
      {"interview-FAIL.wav", "failed", "transcription_failed", true},
      {"please-cancel.wav", "cancelled", "", false},
      {"interrupted-call.m4a", "interrupted", "", false},
  };
  for (const Case& c : cases) {
    const std::filesystem::path source = recordings() / c.fileName;
    writeWav(source, 8);
    const std::string id = text(body(submit(source, c.fileName)), "jobId");
    advance(0.5 + 2);  // a quarter into the run: still running
    EXPECT_EQ(text(job(id), "status"), "running") << c.fileName;
    advance(60);
    const boost::json::object ended = job(id);
    EXPECT_EQ(text(ended, "status"), c.status) << c.fileName;
    EXPECT_EQ(text(ended, "sourceFilePath"), source.string());
    EXPECT_EQ(text(ended, "errorCode"), c.errorCode);
    EXPECT_EQ(ended.contains("errorCode"), !c.errorCode.empty());
    expectErrorObject(boost::json::object{{"code", "x"},
                                          {"error", ended.at("error")},
                                          {"recoverySuggestion", ended.at("recoverySuggestion")}},
                      "x");
    EXPECT_FALSE(ended.contains("result"));
    EXPECT_FALSE(ended.contains("outputJSONPath"));
    EXPECT_EQ(ended.contains("recoveryFilePath"), c.keepsRecoveryCopy);
    if (c.keepsRecoveryCopy) {
      const std::filesystem::path copy = text(ended, "recoveryFilePath");
      EXPECT_NE(copy, source);
      EXPECT_EQ(readFile(copy), readFile(source));
    }
  }
}

TEST_F(ServiceTest, SourceAudioIsNeverChanged) {
  const std::filesystem::path done = recordings() / "done.wav";
  const std::filesystem::path failing = recordings() / "fail.wav";
  writeWav(done, 3);
  writeWav(failing, 3);
  writeFile(recordings() / "done.wav.transcript.txt", "Hello.\nGoodbye.\n");
  std::map<std::filesystem::path, testing::Fingerprint> before;
  for (const auto& entry : std::filesystem::directory_iterator(recordings())) {
    before.emplace(entry.path(), fingerprint(entry.path()));
  }
  const std::string a = text(body(submit(done, "done", {{"identifySpeakers", true}})), "jobId");
  const std::string b = text(body(submit(failing, "fail")), "jobId");
  advance(60);
  EXPECT_EQ(text(job(a), "status"), "completed");
  EXPECT_EQ(text(job(b), "status"), "failed");

  std::map<std::filesystem::path, testing::Fingerprint> after;
  for (const auto& entry : std::filesystem::directory_iterator(recordings())) {
    after.emplace(entry.path(), fingerprint(entry.path()));
  }
  EXPECT_TRUE(before == after) << "files next to the audio were changed, added or removed";
}

TEST_F(ServiceTest, UnknownJobsAndPathsAnswerJsonErrors) {
  const std::filesystem::path wav = recordings() / "a.wav";
  writeWav(wav, 1);
  const std::string id = text(body(submit(wav, "a")), "jobId");
  std::string lower = id;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(text(job(lower), "jobId"), id);

  struct Case {
    std::string path;
    int status;
    std::string code;
  };
  for (const Case& c : std::vector<Case>{
           {"/api/v1/jobs/6F1C2E0A-3B4D-4E5F-8A9B-0C1D2E3F4A5B", 404, "job_not_found"},
           {"/api/v1/jobs/not-a-uuid", 400, "invalid_job_id"},
           {"/api/v1/jobs/" + id + "0", 400, "invalid_job_id"},
           {"/api/v2/health", 404, "not_found"},
       }) {
    const httplib::Result result = get(c.path);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status) << c.path;
    expectErrorObject(body(result), c.code);
  }
  const httplib::Result wrongMethod =
      client().Delete("/api/v1/health", {{"Authorization", kAuthorization}});
  ASSERT_TRUE(wrongMethod);
  EXPECT_EQ(wrongMethod->status, 405);
  expectErrorObject(body(wrongMethod), "method_not_allowed");
}

}  // namespace
}  // namespace tindrel::companion
