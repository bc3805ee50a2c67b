#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tindrel::bench {
namespace {

void closeOnExec(int fd) { ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, bool quietErrors) {
  int toChild[2];
  int fromChild[2];
  if (::pipe(toChild) != 0) throw std::runtime_error("pipe failed");
  if (::pipe(fromChild) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    throw std::runtime_error("pipe failed");
  }
  // Our ends must not leak into other children started later.
  closeOnExec(toChild[1]);
  closeOnExec(fromChild[0]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  if (quietErrors) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, toChild[0]);
  posix_spawn_file_actions_addclose(&actions, fromChild[1]);

  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int failed = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  if (failed != 0) {
    ::close(toChild[1]);
    ::close(fromChild[0]);
    throw std::runtime_error("cannot start " + arguments[0] + ": " + std::strerror(failed));
  }
  input_ = toChild[1];
  output_ = fromChild[0];
  buffer_.reserve(1 << 16);
  chunk_.resize(1 << 16);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) finish();
  if (output_ >= 0) ::close(output_);
}

void ChildProcess::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(input_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("write to child failed: ") + std::strerror(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

bool ChildProcess::readLine(std::string_view& line) {
  for (;;) {
    const std::size_t newline = buffer_.find('\n', start_ + scanned_);
    if (newline != std::string::npos) {
      line = std::string_view(buffer_).substr(start_, newline - start_);
      start_ = newline + 1;
      scanned_ = 0;
      return true;
    }
    scanned_ = buffer_.size() - start_;
    // Drop consumed bytes before appending, so the buffer stays small.
    if (start_ > 0) {
      buffer_.erase(0, start_);
      start_ = 0;
    }
    ssize_t got;
    do {
      got = ::read(output_, chunk_.data(), chunk_.size());
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    buffer_.append(chunk_.data(), static_cast<std::size_t>(got));
  }
}

int ChildProcess::finish() {
  if (input_ >= 0) {
    ::close(input_);
    input_ = -1;
  }
  int status = 0;
  if (pid_ <= 0) return status;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  pid_ = -1;
  return status;
}

}  // namespace tindrel::bench
