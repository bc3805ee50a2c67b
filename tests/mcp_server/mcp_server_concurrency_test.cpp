// Requests running at once: slow handlers, cancellation, many concurrent
// answers through the real write chain.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "json/json_reader.h"
#include "mcp_server/fake_transport.h"
#include "mcp_server/mcp_server.h"
#include "mcp_server/protocol_error.h"
#include "transport/serialized_transport.h"
#include "transport/stdio_message_transport.h"

namespace tindrel {
namespace {

using namespace std::chrono_literals;
using testing::FakeTransport;

const std::string kInitialize = R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{}})";

// A gate that handlers wait at until the test opens it (or their request is
// cancelled, or a timeout passes so that a fault cannot hang the test).
class Gate {
 public:
  void open() {
    {
      const std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  // True when opened, false when stopped or timed out.
  bool wait(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, stop, 10s, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable_any changed_;
  bool open_ = false;
};

ServerConfiguration configuration() { return {"Tindrel", "1.0.0", JsonObject{}}; }

TEST(MCPServerConcurrency, ASlowHandlerDoesNotDelayPing) {
  Gate gate;
  FakeTransport transport;
  MCPServer server(configuration());
  server.registerMethod(
      "slow", [&](const JsonValue*, std::stop_token stop) { return JsonValue(gate.wait(stop)); });
  server.start(transport);
  transport.push(kInitialize);
  transport.push(R"({"jsonrpc":"2.0","id":"slow","method":"slow"})");
  transport.push(R"({"jsonrpc":"2.0","id":"ping","method":"ping"})");
  auto sent = transport.waitForSent(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1], R"({"id":"ping","jsonrpc":"2.0","result":{}})");
  gate.open();
  sent = transport.waitForSent(3);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2], R"({"id":"slow","jsonrpc":"2.0","result":true})");
  transport.finish();
  server.waitUntilCompleted();
}

TEST(MCPServerConcurrency, CancellationStopsTheHandlerAndSuppressesItsAnswer) {
  Gate never;
  std::atomic<int> stopped{0};
  FakeTransport transport;
  {
    MCPServer server(configuration());
    server.registerMethod("wait", [&](const JsonValue*, std::stop_token stop) -> JsonValue {
      never.wait(stop);
      if (stop.stop_requested()) {
        ++stopped;
        throw RequestCancelled();
      }
      return "not cancelled";
    });
    // A handler may also finish its work despite the cancellation; its
    // answer is then written as usual.
    server.registerMethod("stubborn", [&](const JsonValue*, std::stop_token stop) -> JsonValue {
      never.wait(stop);
      return stop.stop_requested() ? "finished anyway" : "not cancelled";
    });
    server.start(transport);
    transport.push(kInitialize);
    transport.push(R"({"jsonrpc":"2.0","id":7,"method":"wait"})");
    transport.push(R"({"jsonrpc":"2.0","id":"7","method":"stubborn"})");
    // The integer 7 and the string "7" are different requests.
    transport.push(
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":7,"reason":"user"}})");
    transport.push(
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"7"}})");
    // An id that looks like a data URL is matched as the string it is.
    transport.push(R"({"jsonrpc":"2.0","id":"data:,w","method":"wait"})");
    transport.push(
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"data:,w"}})");
    const auto sent = transport.waitForSent(2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], R"({"id":"7","jsonrpc":"2.0","result":"finished anyway"})");
    transport.push(R"({"jsonrpc":"2.0","id":"after","method":"ping"})");
    transport.finish();
    server.waitUntilCompleted();
  }  // every handler has ended once the server is gone
  EXPECT_EQ(stopped.load(), 2);
  // Nothing for the cancelled request; later requests are answered.
  const auto sent = transport.sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2], R"({"id":"after","jsonrpc":"2.0","result":{}})");
}

// Each handler waits until all of them have started: only a server that runs
// every request at once gets through.
TEST(MCPServerConcurrency, RunsAnyNumberOfRequestsAtOnce) {
  constexpr int kRequests = 200;
  std::mutex mutex;
  std::condition_variable allStarted;
  int started = 0;
  FakeTransport transport;
  MCPServer server(configuration());
  server.registerMethod("together", [&](const JsonValue*, std::stop_token) {
    std::unique_lock lock(mutex);
    ++started;
    allStarted.notify_all();
    return JsonValue(allStarted.wait_for(lock, 10s, [&] { return started == kRequests; }));
  });
  server.start(transport);
  transport.push(kInitialize);
  for (int i = 1; i <= kRequests; ++i) {
    transport.push(R"({"jsonrpc":"2.0","id":)" + std::to_string(i) + R"(,"method":"together"})");
  }
  const auto sent = transport.waitForSent(kRequests + 1);
  ASSERT_EQ(sent.size(), static_cast<std::size_t>(kRequests + 1));
  for (std::size_t i = 1; i < sent.size(); ++i) {
    EXPECT_TRUE(sent[i].ends_with(R"("result":true})")) << sent[i];
  }
  transport.finish();
  server.waitUntilCompleted();
}

// Many answers finishing at once on many threads, through the real stdio
// transport and write chain: every line on the output is one whole response.
TEST(MCPServerConcurrency, ConcurrentAnswersAreWholeLines) {
  ::signal(SIGPIPE, SIG_IGN);
  constexpr int kRequests = 3000;
  int input[2];
  int output[2];
  ASSERT_EQ(::pipe(input), 0);
  ASSERT_EQ(::pipe(output), 0);

  auto reader = std::async(std::launch::async, [fd = output[0]] {
    std::string all;
    char chunk[65536];
    for (ssize_t count; (count = ::read(fd, chunk, sizeof chunk)) > 0;) {
      all.append(chunk, static_cast<std::size_t>(count));
    }
    return all;
  });

  const std::string payload(2000, 'x');
  {
    StdioMessageTransport stdio(input[0], output[1]);
    SerializedTransport transport(stdio);
    MCPServer server(configuration());
    server.registerMethod("echo", [&](const JsonValue* params, std::stop_token) {
      return JsonValue(JsonObject{{"params", *params}, {"payload", payload}});
    });
    server.start(transport);
    std::string lines = kInitialize + "\n";
    for (int i = 0; i < kRequests; ++i) {
      lines += R"({"jsonrpc":"2.0","id":)" + std::to_string(i) +
               R"(,"method":"echo","params":{"n":)" + std::to_string(i) + "}}\n";
    }
    for (std::string_view rest = lines; !rest.empty();) {
      const ssize_t written = ::write(input[1], rest.data(), rest.size());
      ASSERT_GT(written, 0);
      rest.remove_prefix(static_cast<std::size_t>(written));
    }
    ::close(input[1]);
    server.waitUntilCompleted();
  }  // every request has been answered once the server is gone
  ::close(output[1]);
  ASSERT_EQ(reader.wait_for(30s), std::future_status::ready);
  const std::string all = reader.get();
  ::close(input[0]);
  ::close(output[0]);

  std::set<std::int64_t> ids;
  std::size_t start = all.find('\n') + 1;  // after the initialize answer
  while (start < all.size()) {
    const std::size_t end = all.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const JsonValue response = readJson(std::string_view(all).substr(start, end - start));
    const JsonValue* id = response.find("id");
    ASSERT_NE(id, nullptr);
    ASSERT_TRUE(id->isInteger());
    const JsonValue* result = response.find("result");
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(*result->find("params")->find("n"), *id);
    EXPECT_EQ(*result->find("payload"), JsonValue(payload));
    ids.insert(*id->asInteger());
    start = end + 1;
  }
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kRequests));
}

}  // namespace
}  // namespace tindrel
