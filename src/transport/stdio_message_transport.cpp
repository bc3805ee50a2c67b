#include "transport/stdio_message_transport.h"

#include "transport/line_framer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace tindrel {

namespace {

constexpr std::size_t kReadBufferSize = 64 * 1024;

TransportError systemError(const char* operation, int errorNumber) {
  return TransportError(
      std::string(operation) + ": " + std::generic_category().message(errorNumber), errorNumber);
}

// The descriptors are shared with the parent and may have been left in
// non-blocking mode by it. Then a read or write can fail with EAGAIN; wait
// for readiness, bounded to 10 ms so that descriptors poll() cannot watch
// (character devices on some systems report POLLNVAL) still make progress
// without spinning.
void waitUntilReady(int descriptor, short events) {
  pollfd watched{descriptor, events, 0};
  const int ready = ::poll(&watched, 1, 10);
  if (ready > 0 && (watched.revents & POLLNVAL) != 0) ::poll(nullptr, 0, 10);
}

bool isWouldBlock(int errorNumber) { return errorNumber == EAGAIN || errorNumber == EWOULDBLOCK; }

}  // namespace

// State shared between the transport and its reader thread, so that the
// thread never outlives what it writes to.
struct StdioMessageTransport::Shared {
  std::mutex mutex;
  std::condition_variable available;
  std::deque<std::string> messages;  // guarded by mutex
  bool finished = false;             // guarded by mutex
  bool readerStarted = false;        // guarded by mutex
  std::atomic<bool> connected{false};

  void finish() {
    {
      const std::lock_guard lock(mutex);
      finished = true;
    }
    available.notify_all();
  }

  void readLoop(int descriptor);

  void deliver(std::vector<std::string>& lines) {
    if (lines.empty()) return;
    {
      const std::lock_guard lock(mutex);
      if (finished) {
        lines.clear();
        return;
      }
      for (auto& line : lines) messages.push_back(std::move(line));
    }
    lines.clear();
    available.notify_one();
  }
};

StdioMessageTransport::StdioMessageTransport(int inputDescriptor, int outputDescriptor)
    : inputDescriptor_(inputDescriptor),
      outputDescriptor_(outputDescriptor),
      shared_(std::make_shared<Shared>()) {}

StdioMessageTransport::~StdioMessageTransport() { disconnect(); }

void StdioMessageTransport::connect() {
  const std::lock_guard lock(shared_->mutex);
  if (shared_->connected.load()) return;
  // Only the status flags are read: switching the shared descriptions to
  // non-blocking mode would change them for the parent (a terminal, say) too.
  for (const int descriptor : {inputDescriptor_, outputDescriptor_}) {
    if (::fcntl(descriptor, F_GETFL) == -1) throw systemError("descriptor not usable", errno);
  }
  shared_->connected.store(true);
  if (!shared_->readerStarted) {
    try {
      std::thread([shared = shared_, descriptor = inputDescriptor_] {
        shared->readLoop(descriptor);
      }).detach();
    } catch (const std::system_error& error) {
      shared_->connected.store(false);
      throw TransportError(std::string("cannot start reading: ") + error.what(),
                           error.code().value());
    }
    shared_->readerStarted = true;
  }
}

void StdioMessageTransport::disconnect() noexcept {
  shared_->connected.store(false);
  shared_->finish();
}

void StdioMessageTransport::send(std::string_view message) {
  if (!shared_->connected.load()) throw systemError("write failed", ENOTCONN);
  static constexpr char kLineFeed = '\n';
  const std::size_t total = message.size() + 1;
  std::size_t written = 0;
  // One writev per attempt keeps the message and its line feed in one system
  // call without copying the message; a partial write continues where it
  // stopped.
  while (written < total) {
    iovec pieces[2];
    int count = 0;
    if (written < message.size()) {
      pieces[count++] = {const_cast<char*>(message.data() + written), message.size() - written};
    }
    pieces[count++] = {const_cast<char*>(&kLineFeed), 1};
    const ssize_t result = ::writev(outputDescriptor_, pieces, count);
    if (result < 0) {
      const int errorNumber = errno;
      if (errorNumber == EINTR) continue;
      if (isWouldBlock(errorNumber)) {
        waitUntilReady(outputDescriptor_, POLLOUT);
        continue;
      }
      throw systemError("write failed", errorNumber);
    }
    written += static_cast<std::size_t>(result);
  }
}

std::optional<std::string> StdioMessageTransport::receive() {
  std::unique_lock lock(shared_->mutex);
  shared_->available.wait(lock, [&] { return !shared_->messages.empty() || shared_->finished; });
  if (shared_->messages.empty()) return std::nullopt;
  std::string message = std::move(shared_->messages.front());
  shared_->messages.pop_front();
  return message;
}

void StdioMessageTransport::Shared::readLoop(int descriptor) {
  std::vector<char> buffer(kReadBufferSize);
  LineFramer framer;
  std::vector<std::string> lines;
  while (connected.load()) {
    const ssize_t count = ::read(descriptor, buffer.data(), buffer.size());
    if (count < 0) {
      const int errorNumber = errno;
      if (errorNumber == EINTR) continue;
      if (isWouldBlock(errorNumber)) {
        waitUntilReady(descriptor, POLLIN);
        continue;
      }
      break;  // any other read failure ends the stream like end of input
    }
    if (count == 0) break;
    framer.append(buffer.data(), static_cast<std::size_t>(count), lines);
    deliver(lines);
  }
  // Bytes after the last line feed are not a message.
  finish();
}

}  // namespace tindrel
