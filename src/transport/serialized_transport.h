// SerializedTransport: wraps a MessageTransport so that sends from any number
// of threads reach it one at a time, each whole, in the order in which they
// arrive, and so that one failed write fails that send and every later send
// with the same error, writing nothing more.
//
// connect(), receive() and disconnect() are passed through to the wrapped
// transport.
//
// Thread-safety: send() may be called from any number of threads at once;
// receive() from one thread at a time.
//
// Lifetime: `base` must outlive this object.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "transport/message_transport.h"

namespace tindrel {

class SerializedTransport final : public MessageTransport {
 public:
  explicit SerializedTransport(MessageTransport& base) : base_(base) {}
  SerializedTransport(const SerializedTransport&) = delete;
  SerializedTransport& operator=(const SerializedTransport&) = delete;

  // Connects the wrapped transport; its TransportError is passed on.
  void connect() override;
  void disconnect() noexcept override;

  // Returns once `message` has been written whole by the wrapped transport.
  // Throws the TransportError of this write, or of the earlier write that
  // failed (nothing is written then).
  void send(std::string_view message) override;

  std::optional<std::string> receive() override;

  // Stops all writing for good, so that the process can exit without cutting
  // a message in half: waits (at most `limit`) for a write in progress to end,
  // then makes every later send fail (ESHUTDOWN) without writing. Returns
  // false when the write in progress did not end in time (a reader that no
  // longer reads); the caller exits anyway.
  bool haltWrites(std::chrono::milliseconds limit) noexcept;

 private:
  MessageTransport& base_;
  std::mutex writeMutex_;
  std::optional<TransportError> failure_;  // guarded by writeMutex_
};

}  // namespace tindrel
