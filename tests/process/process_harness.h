// ServerProcess: runs the built tindrel-mcp binary as a child process with
// pipes on its standard input, output and error, for tests that check whole
// sessions as a client sees them.
//
// Every operation that waits takes a timeout, so that a server that hangs
// makes the test fail instead of blocking the run.
//
// Thread-safety: one ServerProcess is used by one thread.
// Lifetime: the destructor kills the child if it is still running and reaps it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tindrel::testing {

// The path of the tindrel-mcp binary built with the tests.
const std::string& serverBinaryPath();

struct ProcessOptions {
  // Arguments after the program name.
  std::vector<std::string> arguments;
  // The child's environment, "NAME=value" each; the test's own when unset.
  std::optional<std::vector<std::string>> environment;
  // Start the child with descriptor 0 (or 1) closed instead of a pipe.
  bool closeStandardInput = false;
  bool closeStandardOutput = false;
  // The binary to run; serverBinaryPath() when empty.
  std::string executable;
};

using std::chrono::milliseconds;
inline constexpr milliseconds kDefaultTimeout{10000};

class ServerProcess {
 public:
  // Starts the child. Throws std::runtime_error when it cannot be started.
  explicit ServerProcess(ProcessOptions options = {});
  // Starts the child with these arguments after the program name.
  explicit ServerProcess(std::vector<std::string> arguments);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes `line` and a line feed (writeRaw: the bytes as they are) to the
  // child's standard input. Returns false when the write fails (the child has
  // closed its input, or it was closed by closeStandardInput()).
  bool writeLine(std::string_view line);
  bool writeRaw(std::string_view bytes);

  // The next line of standard output without its line feed; nullopt when the
  // timeout passes first or the output ends before a whole line.
  std::optional<std::string> readLine(milliseconds timeout = kDefaultTimeout);

  // Everything written to standard output from now until it ends (the child
  // exits), including a last line without a line feed; nullopt on timeout.
  std::optional<std::string> readOutputToEnd(milliseconds timeout = kDefaultTimeout);

  // Everything written to standard error until it ends; nullopt on timeout.
  std::optional<std::string> readErrorToEnd(milliseconds timeout = kDefaultTimeout);

  // Ends the child's input (end of file for the server).
  void closeStandardInput();
  // Closes the test's end of the child's standard output, so that the
  // child's later writes fail.
  void closeStandardOutput();

  // The exit status once the child has exited normally, or 128 plus the
  // signal number when a signal ended it; nullopt when it is still running
  // after `timeout`.
  std::optional<int> waitForExit(milliseconds timeout = kDefaultTimeout);

 private:
  pid_t pid_ = -1;
  int input_ = -1;   // write end of the child's standard input
  int output_ = -1;  // read end of the child's standard output
  int error_ = -1;   // read end of the child's standard error
  std::string outputBuffer_;
  std::optional<int> status_;
};

}  // namespace tindrel::testing
