// A child process with its standard input and output on pipes, and a line
// reader for its output. Used by the process-level benchmark to drive the
// server, the stand-in service and the stdio echo floor.
//
// Thread-safety: one thread writes to a child and one thread reads from it;
// the object itself is not shared otherwise.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace tindrel::bench {

class ChildProcess {
 public:
  // Starts `arguments[0]` (looked up in PATH when it holds no slash) with the
  // other arguments. Standard error goes to /dev/null when `quietErrors`.
  // Throws std::runtime_error when the process cannot be started.
  explicit ChildProcess(const std::vector<std::string>& arguments, bool quietErrors = true);
  // Closes the input (the children used here end at the end of their input),
  // then waits for the process; kills it when it has not ended after 5 s.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }

  // Writes all of `bytes` to the child's input. Throws std::runtime_error on
  // failure.
  void write(std::string_view bytes);

  // The next line of the child's output without its line feed, or false at
  // the end of the output. Blocking; the view lives until the next call.
  bool readLine(std::string_view& line);

  // Closes the child's input and waits for the process to end. Returns its
  // wait status.
  int finish();

 private:
  pid_t pid_ = -1;
  int input_ = -1;   // Our end of the child's standard input.
  int output_ = -1;  // Our end of the child's standard output.
  std::string buffer_;
  std::vector<char> chunk_;  // Read buffer.
  std::size_t start_ = 0;    // First unread byte of buffer_.
  std::size_t scanned_ = 0;  // Bytes from start_ known to hold no line feed.
};

}  // namespace tindrel::bench
