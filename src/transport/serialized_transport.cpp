#include "transport/serialized_transport.h"

#include <cerrno>

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
  // then keeps every later send from writing a byte.
  if (!writeMutex_.try_lock_for(limit)) return false;
  if (!failure_) failure_ = TransportError("writing has been halted", ESHUTDOWN);
  writeMutex_.unlock();
  return true;
}

}  // namespace tindrel
