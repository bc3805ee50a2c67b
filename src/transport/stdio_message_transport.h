// StdioMessageTransport: the line-framed transport on two file descriptors
// (standard input and output in the program).
//
// Incoming: a reader thread of its own reads the input descriptor with
// blocking reads (idle costs no CPU and no wake-ups) and frames the bytes as
// lines: the bytes before each line feed are one message; empty lines are
// skipped; nothing else is examined (a carriage return stays part of the
// message, no length limit, no UTF-8 check). Bytes after the last line feed at
// the end of input are discarded. End of input and read failures end the
// incoming stream normally, never with an error. Lines read before anyone
// calls receive() wait in an unbounded buffer.
//
// Outgoing: send() writes the message and one line feed with as many write(2)
// calls as needed (retried on EINTR and after partial writes). It does not
// serialise concurrent callers: wrap it in a SerializedTransport for that.
//
// The descriptors are neither owned nor closed, and their file status flags
// are left alone (they are shared with the parent process).
//
// Thread-safety: receive() from one thread at a time; send() from one thread
// at a time; connect(), disconnect() and send() may run concurrently with
// receive().
//
// Lifetime: the reader thread holds the shared buffer, so destroying the
// transport while a read is still blocked is safe; that thread then ends when
// its descriptor reaches end of input or fails.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "transport/message_transport.h"

namespace tindrel {

class StdioMessageTransport final : public MessageTransport {
 public:
  StdioMessageTransport(int inputDescriptor, int outputDescriptor);
  ~StdioMessageTransport() override;
  StdioMessageTransport(const StdioMessageTransport&) = delete;
  StdioMessageTransport& operator=(const StdioMessageTransport&) = delete;

  // Checks that both descriptors are open (fcntl F_GETFL), then starts the
  // reader thread. Does nothing when already connected. Throws TransportError
  // with the system error number when a descriptor is not usable or the
  // thread cannot start; the transport then stays unconnected.
  void connect() override;

  // Marks the transport unconnected and ends the incoming stream. The reader
  // thread stops after its current read returns.
  void disconnect() noexcept override;

  // Writes `message` and a line feed. Throws TransportError (ENOTCONN when
  // not connected, else the write's error number); bytes already written stay
  // written.
  void send(std::string_view message) override;

  // The next incoming line without its line feed, or nullopt once the stream
  // has ended and every buffered line has been taken.
  std::optional<std::string> receive() override;

 private:
  struct Shared;
  const int inputDescriptor_;
  const int outputDescriptor_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace tindrel
