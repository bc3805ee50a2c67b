#include "transport/serialized_transport.h"

#include <cerrno>
#include <chrono>
#include <thread>

namespace tindrel {

void SerializedTransport::connect() { base_.connect(); }

void SerializedTransport::disconnect() noexcept { base_.disconnect(); }

void SerializedTransport::send(std::string_view message) {
  // Holding the lock for the whole write is the write chain: the next sender
  // starts only after this message is complete, so messages never interleave
  // even when the wrapped transport writes in several pieces.
  const std::lock_guard lock(writeMutex_);
  if (failure_) throw *failure_;
  try {
    base_.send(message);
  } catch (const TransportError& error) {
    failure_ = error;
    throw;
  }
}

std::optional<std::string> SerializedTransport::receive() { return base_.receive(); }

bool SerializedTransport::haltWrites(std::chrono::milliseconds limit) noexcept {
  // Taking the lock waits for the write in progress; the recorded failure
  // then keeps every later send from writing a byte. This runs once, just
  // before the process exits, so a short polling wait costs nothing; a timed
  // lock would do the same but is not understood by every race checker.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!writeMutex_.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!failure_) failure_ = TransportError("writing has been halted", ESHUTDOWN);
  writeMutex_.unlock();
  return true;
}

}  // namespace tindrel
