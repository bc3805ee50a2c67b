// An in-memory MessageTransport for tests of the session core: lines are
// pushed in by the test, sent messages are recorded and can be awaited.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transport/message_transport.h"

namespace tindrel::testing {

class FakeTransport : public MessageTransport {
 public:
  void connect() override {
    if (failConnect) throw TransportError("descriptor not usable", 9);
  }
  void disconnect() noexcept override { finish(); }

  void send(std::string_view message) override {
    const std::lock_guard lock(mutex_);
    if (failingSends_ > 0) {
      --failingSends_;
      throw TransportError("write failed", 32);
    }
    sent_.emplace_back(message);
    changed_.notify_all();
  }

  std::optional<std::string> receive() override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !incoming_.empty() || finished_; });
    if (incoming_.empty()) return std::nullopt;
    std::string message = std::move(incoming_.front());
    incoming_.pop_front();
    return message;
  }

  void push(std::string message) {
    const std::lock_guard lock(mutex_);
    incoming_.push_back(std::move(message));
    changed_.notify_all();
  }
  void finish() {
    const std::lock_guard lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  }
  void failNextSends(int count) {
    const std::lock_guard lock(mutex_);
    failingSends_ = count;
  }

  // The first `count` messages sent, once that many have been; what was sent
  // so far when the timeout passes first.
  std::vector<std::string> waitForSent(
      std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return sent_.size() >= count; });
    return sent_;
  }
  std::vector<std::string> sent() {
    const std::lock_guard lock(mutex_);
    return sent_;
  }

  bool failConnect = false;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> incoming_;
  bool finished_ = false;
  int failingSends_ = 0;
  std::vector<std::string> sent_;
};

}  // namespace tindrel::testing
