#include "transport/stdio_message_transport.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tindrel {
namespace {

using namespace std::chrono_literals;

// A pipe closed on destruction.
struct Pipe {
  int readEnd = -1;
  int writeEnd = -1;
  Pipe() {
    int ends[2];
    if (::pipe(ends) != 0) ADD_FAILURE() << "pipe failed";
    readEnd = ends[0];
    writeEnd = ends[1];
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (readEnd >= 0) ::close(readEnd);
    readEnd = -1;
  }
  void closeWrite() {
    if (writeEnd >= 0) ::close(writeEnd);
    writeEnd = -1;
  }
  void write(std::string_view bytes) const {
    while (!bytes.empty()) {
      const ssize_t written = ::write(writeEnd, bytes.data(), bytes.size());
      ASSERT_GT(written, 0);
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
  }
  std::string readAll() {
    std::string all;
    char chunk[4096];
    for (;;) {
      const ssize_t count = ::read(readEnd, chunk, sizeof chunk);
      if (count <= 0) return all;
      all.append(chunk, static_cast<std::size_t>(count));
    }
  }
};

// Every message until the stream ends, failing instead of hanging.
std::vector<std::string> receiveAll(MessageTransport& transport) {
  auto all = std::async(std::launch::async, [&] {
    std::vector<std::string> messages;
    while (auto message = transport.receive()) messages.push_back(std::move(*message));
    return messages;
  });
  if (all.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "the incoming stream did not end";
    transport.disconnect();
  }
  return all.get();
}

class StdioMessageTransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }
  // Ends the input and waits until the reader thread is done with the
  // descriptor, so that closing it cannot race with a read.
  void endInput(MessageTransport& transport) {
    input.closeWrite();
    receiveAll(transport);
  }
  Pipe input;
  Pipe output;
};

TEST_F(StdioMessageTransportTest, ReadsLinesUntilEndOfInputAndDropsAnUnfinishedLastLine) {
  StdioMessageTransport transport(input.readEnd, output.writeEnd);
  transport.connect();
  input.write("\n\n{\"a\":1}\r\n");
  input.write("{\"b\":");
  input.write("2}\n{\"c\":3}");
  input.closeWrite();
  EXPECT_EQ(receiveAll(transport), (std::vector<std::string>{"{\"a\":1}\r", "{\"b\":2}"}));
  EXPECT_FALSE(transport.receive().has_value());
}

TEST_F(StdioMessageTransportTest, KeepsLinesReadBeforeAnyoneReceives) {
  StdioMessageTransport transport(input.readEnd, output.writeEnd);
  input.write("1\n2\n3\n");
  input.closeWrite();
  transport.connect();
  EXPECT_EQ(receiveAll(transport), (std::vector<std::string>{"1", "2", "3"}));
}

TEST_F(StdioMessageTransportTest, ReadsALineLongerThanAnyBuffer) {
  const std::string line(3 * 1024 * 1024, 'x');
  StdioMessageTransport transport(input.readEnd, output.writeEnd);
  transport.connect();
  std::thread writer([&] {
    input.write(line + "\n");
    input.closeWrite();
  });
  const auto messages = receiveAll(transport);
  writer.join();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], line);
}

TEST_F(StdioMessageTransportTest, SendWritesTheMessageAndALineFeed) {
  StdioMessageTransport transport(input.readEnd, output.writeEnd);
  transport.connect();
  transport.send("{\"id\":1}");
  transport.send("{}");
  output.closeWrite();
  EXPECT_EQ(output.readAll(), "{\"id\":1}\n{}\n");
  endInput(transport);
}

// A message larger than the pipe's buffer is written in several parts while
// the reader drains it slowly; it still arrives whole.
TEST_F(StdioMessageTransportTest, PartialWritesContinueWhereTheyStopped) {
  std::string message(1024 * 1024, ' ');
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>('a' + i % 26);
  StdioMessageTransport transport(input.readEnd, output.writeEnd);
  transport.connect();
  auto received = std::async(std::launch::async, [&] { return output.readAll(); });
  transport.send(message);
  output.closeWrite();
  EXPECT_EQ(received.get(), message + "\n");
  endInput(transport);
}

TEST_F(StdioMessageTransportTest, LeavesTheDescriptorFlagsAsTheyWere) {
  const int inputFlags = ::fcntl(input.readEnd, F_GETFL);
  const int outputFlags = ::fcntl(output.writeEnd, F_GETFL);
  StdioMessageTransport transport(input.readEnd, output.writeEnd);
  transport.connect();
  EXPECT_EQ(::fcntl(input.readEnd, F_GETFL), inputFlags);
  EXPECT_EQ(::fcntl(output.writeEnd, F_GETFL), outputFlags);
  endInput(transport);
}

// A parent may hand over descriptors in non-blocking mode: reads and writes
// that would block are waited for, not treated as failures.
TEST_F(StdioMessageTransportTest, WorksOnDescriptorsLeftNonBlocking) {
  ::fcntl(input.readEnd, F_SETFL, ::fcntl(input.readEnd, F_GETFL) | O_NONBLOCK);
  ::fcntl(output.writeEnd, F_SETFL, ::fcntl(output.writeEnd, F_GETFL) | O_NONBLOCK);
  StdioMessageTransport transport(input.readEnd, output.writeEnd);
  transport.connect();
  std::thread writer([&] {
    std::this_thread::sleep_for(50ms);  // the reader meets an empty pipe first
    input.write("late\n");
    input.closeWrite();
  });
  auto received = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(50ms);  // the writer meets a full pipe first
    return output.readAll();
  });
  const std::string big(512 * 1024, 'z');
  transport.send(big);
  output.closeWrite();
  EXPECT_EQ(received.get(), big + "\n");
  EXPECT_EQ(receiveAll(transport), std::vector<std::string>{"late"});
  writer.join();
}

TEST_F(StdioMessageTransportTest, FailedWriteReportsTheSystemError) {
  StdioMessageTransport transport(input.readEnd, output.writeEnd);
  transport.connect();
  output.closeRead();
  try {
    transport.send("{}");
    ADD_FAILURE() << "writing to a pipe without reader succeeded";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.errorNumber(), EPIPE);
  }
  endInput(transport);
}

TEST_F(StdioMessageTransportTest, SendBeforeConnectOrAfterDisconnectFails) {
  // After disconnect() the reader thread may still be blocked reading; it
  // gets a descriptor of its own that is deliberately never closed.
  StdioMessageTransport transport(::dup(input.readEnd), output.writeEnd);
  for (int round = 0; round < 2; ++round) {
    try {
      transport.send("{}");
      ADD_FAILURE() << "send on an unconnected transport succeeded, round " << round;
    } catch (const TransportError& error) {
      EXPECT_EQ(error.errorNumber(), ENOTCONN);
    }
    transport.connect();
    transport.disconnect();
  }
  output.closeWrite();
  EXPECT_EQ(output.readAll(), "");
  EXPECT_FALSE(transport.receive().has_value());  // the stream ended with disconnect()
  input.closeWrite();
}

TEST_F(StdioMessageTransportTest, ConnectFailsOnAClosedDescriptor) {
  const int closedInput = input.readEnd;
  input.closeRead();
  for (const auto& [in, out] :
       {std::pair{closedInput, output.writeEnd}, std::pair{output.readEnd, closedInput}}) {
    StdioMessageTransport transport(in, out);
    try {
      transport.connect();
      ADD_FAILURE() << "connect succeeded on a closed descriptor";
    } catch (const TransportError& error) {
      EXPECT_EQ(error.errorNumber(), EBADF);
    }
    EXPECT_THROW(transport.send("{}"), TransportError);
  }
}

}  // namespace
}  // namespace tindrel
