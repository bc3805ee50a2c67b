#include "transport/serialized_transport.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tindrel {
namespace {

// A transport that writes each message in many small pieces, yielding between
// them, as a slow reader of standard output would make the real one do. It
// records what it writes and notices overlapping sends.
class PiecewiseTransport : public MessageTransport {
 public:
  void connect() override {}
  void disconnect() noexcept override {}
  std::optional<std::string> receive() override { return std::nullopt; }

  void send(std::string_view message) override {
    if (inSend_.fetch_add(1) != 0) overlapped_ = true;
    ++sends_;
    if (failNextWith_ != 0) {
      const int errorNumber = failNextWith_;
      failNextWith_ = 0;
      inSend_.fetch_sub(1);
      throw TransportError("write failed", errorNumber);
    }
    for (std::size_t at = 0; at < message.size(); at += 3) {
      {
        const std::lock_guard lock(mutex_);
        written_.append(message.substr(at, 3));
      }
      std::this_thread::yield();
    }
    {
      const std::lock_guard lock(mutex_);
      written_ += '\n';
    }
    inSend_.fetch_sub(1);
  }

  void failNextSendWith(int errorNumber) { failNextWith_ = errorNumber; }
  std::string written() {
    const std::lock_guard lock(mutex_);
    return written_;
  }
  bool overlapped() const { return overlapped_; }
  int sends() const { return sends_; }

 private:
  std::mutex mutex_;
  std::string written_;
  std::atomic<int> inSend_{0};
  std::atomic<bool> overlapped_{false};
  std::atomic<int> sends_{0};
  std::atomic<int> failNextWith_{0};
};

TEST(SerializedTransport, ConcurrentSendsAreWrittenOneAtATimeEachWhole) {
  PiecewiseTransport base;
  SerializedTransport transport(base);
  constexpr int kThreads = 8;
  constexpr int kMessagesPerThread = 50;
  std::vector<std::thread> senders;
  for (int thread = 0; thread < kThreads; ++thread) {
    senders.emplace_back([&, thread] {
      for (int i = 0; i < kMessagesPerThread; ++i) {
        transport.send("{\"thread\":" + std::to_string(thread) + ",\"message\":" +
                       std::to_string(i) + ",\"padding\":\"" + std::string(40, 'p') + "\"}");
      }
    });
  }
  for (auto& sender : senders) sender.join();

  EXPECT_FALSE(base.overlapped());
  // Every line is one whole message, and each thread's messages keep their
  // order.
  std::vector<int> next(kThreads, 0);
  const std::string written = base.written();
  std::size_t start = 0;
  int lines = 0;
  while (start < written.size()) {
    const std::size_t end = written.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = written.substr(start, end - start);
    int thread = -1;
    int message = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "{\"thread\":%d,\"message\":%d,", &thread, &message), 2)
        << line;
    ASSERT_EQ(line, "{\"thread\":" + std::to_string(thread) + ",\"message\":" +
                        std::to_string(message) + ",\"padding\":\"" + std::string(40, 'p') + "\"}");
    EXPECT_EQ(message, next[thread]++);
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, kThreads * kMessagesPerThread);
}

TEST(SerializedTransport, AFailedWriteFailsEveryLaterSendWithTheSameError) {
  PiecewiseTransport base;
  SerializedTransport transport(base);
  transport.send("first");
  base.failNextSendWith(EPIPE);
  for (int attempt = 0; attempt < 3; ++attempt) {
    try {
      transport.send("later");
      ADD_FAILURE() << "send succeeded after a failed write, attempt " << attempt;
    } catch (const TransportError& error) {
      EXPECT_EQ(error.errorNumber(), EPIPE);
    }
  }
  // Only the failing write reached the base; nothing after it was written.
  EXPECT_EQ(base.sends(), 2);
  EXPECT_EQ(base.written(), "first\n");
}

TEST(SerializedTransport, HaltingWritesLetsTheWriteInProgressFinishAndStopsLaterOnes) {
  PiecewiseTransport base;
  SerializedTransport transport(base);
  const std::string message = "{\"id\":1,\"padding\":\"" + std::string(3000, 'p') + "\"}";
  std::thread writer([&] { transport.send(message); });
  // Wait until the write has begun, so that the halt meets it part-way.
  while (base.written().empty()) std::this_thread::yield();
  EXPECT_TRUE(transport.haltWrites(std::chrono::seconds(30)));
  writer.join();
  EXPECT_EQ(base.written(), message + "\n");

  try {
    transport.send("late");
    ADD_FAILURE() << "a send after the halt succeeded";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.errorNumber(), ESHUTDOWN);
  }
  EXPECT_EQ(base.written(), message + "\n");
}

}  // namespace
}  // namespace tindrel
