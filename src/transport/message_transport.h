// MessageTransport: the channel through which the MCP server core reads and
// writes protocol messages. A message is the bytes of one JSON text, without
// any framing.
//
// Thread-safety: implementations state their own; the core calls receive()
// from one thread and send() from many.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tindrel {

// A failure of the channel, with the system error number that caused it.
class TransportError : public std::runtime_error {
 public:
  TransportError(const std::string& what, int errorNumber)
      : std::runtime_error(what), errorNumber_(errorNumber) {}
  int errorNumber() const noexcept { return errorNumber_; }

 private:
  int errorNumber_;
};

class MessageTransport {
 public:
  virtual ~MessageTransport() = default;

  // Prepares the channel and starts receiving. Throws TransportError.
  virtual void connect() = 0;

  // Stops the channel and ends the incoming stream. Never fails.
  virtual void disconnect() noexcept = 0;

  // Writes one message whole; returns once it has been written. Throws
  // TransportError when the write fails.
  virtual void send(std::string_view message) = 0;

  // Blocks until the next incoming message and returns it; returns nullopt
  // once the incoming stream has ended. May throw TransportError when the
  // stream ends with an error.
  virtual std::optional<std::string> receive() = 0;
};

}  // namespace tindrel
