#include "process/process_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace tindrel::testing {

namespace {

using Clock = std::chrono::steady_clock;

void closeDescriptor(int& descriptor) {
  if (descriptor >= 0) ::close(descriptor);
  descriptor = -1;
}

// A pipe whose ends are closed in the child after the spawn's own dup2s.
void makePipe(int ends[2]) {
  if (::pipe(ends) != 0) throw std::runtime_error("pipe failed");
  ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
}

int remainingMilliseconds(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Reads what is available from `descriptor` into `buffer`, waiting until the
// deadline for something to arrive. Returns false at end of output or on a
// read error, true otherwise (also when the deadline passed).
bool readSome(int descriptor, std::string& buffer, Clock::time_point deadline) {
  pollfd watched{descriptor, POLLIN, 0};
  const int ready = ::poll(&watched, 1, remainingMilliseconds(deadline));
  if (ready <= 0) return true;
  char chunk[65536];
  for (;;) {
    const ssize_t count = ::read(descriptor, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(count));
    return true;
  }
}

std::optional<std::string> readToEnd(int descriptor, std::string buffer, milliseconds timeout) {
  if (descriptor < 0) return buffer;
  const auto deadline = Clock::now() + timeout;
  while (readSome(descriptor, buffer, deadline)) {
    if (Clock::now() >= deadline) return std::nullopt;
  }
  return buffer;
}

}  // namespace

const std::string& serverBinaryPath() {
  static const std::string path = TINDREL_MCP_BINARY;
  return path;
}

ServerProcess::ServerProcess(ProcessOptions options) {
  // A child that stops reading must fail the test's writes, not kill it.
  ::signal(SIGPIPE, SIG_IGN);
  int input[2] = {-1, -1};
  int output[2] = {-1, -1};
  int error[2] = {-1, -1};
  makePipe(input);
  makePipe(output);
  makePipe(error);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.closeStandardInput) {
    posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  }
  if (options.closeStandardOutput) {
    posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  }
  posix_spawn_file_actions_adddup2(&actions, error[1], STDERR_FILENO);

  const std::string executable =
      options.executable.empty() ? serverBinaryPath() : options.executable;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (auto& argument : options.arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  if (options.environment) {
    for (auto& variable : *options.environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
  }

  const int result = ::posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(),
                                   options.environment ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  ::close(error[1]);
  input_ = input[1];
  output_ = output[0];
  error_ = error[0];
  if (result != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + executable);
  }
}

namespace {

ProcessOptions withArguments(std::vector<std::string> arguments) {
  ProcessOptions options;
  options.arguments = std::move(arguments);
  return options;
}

}  // namespace

ServerProcess::ServerProcess(std::vector<std::string> arguments)
    : ServerProcess(withArguments(std::move(arguments))) {}

ServerProcess::~ServerProcess() {
  closeDescriptor(input_);
  closeDescriptor(output_);
  closeDescriptor(error_);
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

bool ServerProcess::writeLine(std::string_view line) {
  std::string framed(line);
  framed += '\n';
  return writeRaw(framed);
}

bool ServerProcess::writeRaw(std::string_view bytes) {
  if (input_ < 0) return false;
  while (!bytes.empty()) {
    const ssize_t written = ::write(input_, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::optional<std::string> ServerProcess::readLine(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (const auto end = outputBuffer_.find('\n'); end != std::string::npos) {
      std::string line = outputBuffer_.substr(0, end);
      outputBuffer_.erase(0, end + 1);
      return line;
    }
    if (output_ < 0 || Clock::now() >= deadline) return std::nullopt;
    if (!readSome(output_, outputBuffer_, deadline)) closeDescriptor(output_);
  }
}

std::optional<std::string> ServerProcess::readOutputToEnd(milliseconds timeout) {
  auto all = readToEnd(output_, std::move(outputBuffer_), timeout);
  outputBuffer_.clear();
  if (all) closeDescriptor(output_);
  return all;
}

std::optional<std::string> ServerProcess::readErrorToEnd(milliseconds timeout) {
  auto all = readToEnd(error_, {}, timeout);
  if (all) closeDescriptor(error_);
  return all;
}

void ServerProcess::closeStandardInput() { closeDescriptor(input_); }

void ServerProcess::closeStandardOutput() { closeDescriptor(output_); }

std::optional<int> ServerProcess::waitForExit(milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(milliseconds(2));
  }
}

}  // namespace tindrel::testing
