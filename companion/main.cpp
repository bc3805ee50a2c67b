// tindrel-companion: a stand-in for the Tindrel app's local service, for
// demos and tests on machines without the app. It listens on 127.0.0.1,
// writes the private connection file with a fresh token, serves the local
// API (service.h) and removes the file again when stopped by SIGINT, SIGTERM
// or SIGHUP. It prints where it listens, never the token.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "connection_file.h"
#include "job_table.h"
#include "options.h"
#include "private_files.h"
#include "secure_random.h"
#include "service.h"

namespace {

using namespace tindrel::companion;

int fail(const std::string& message) {
  std::fprintf(stderr, "tindrel-companion: %s\n", message.c_str());
  return 1;
}

int run(const CompanionOptions& options) {
  // Block the stop signals before any thread exists, so that every thread
  // inherits the mask and the signals are taken only by sigwait() below:
  // stopping then runs as ordinary code, not in a signal handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A client that hangs up must not kill the service through a write.
  signal(SIGPIPE, SIG_IGN);

  const std::filesystem::path connectionPath =
      options.connection ? *options.connection : defaultConnectionPath();

  httplib::Server server;
  // The library's default also sets SO_REUSEPORT, which would let a second
  // service bind the same port and take a share of the requests. Only
  // SO_REUSEADDR, so that a restart can reuse a port in TIME_WAIT.
  server.set_socket_options([](socket_t socket) {
    const int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  });
  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port("127.0.0.1");
  } else if (!server.bind_to_port("127.0.0.1", port)) {
    port = -1;
  }
  if (port <= 0) return fail("cannot listen on 127.0.0.1.");

  const std::string token = randomToken();
  JobTable jobs(connectionPath.parent_path() / "Jobs", options.speed);
  Service service(jobs, "Bearer " + token, options.speed);
  service.install(server);
  // stop() waits for idle keep-alive connections to time out: keep that short
  // so the service stops promptly even while a client holds a connection.
  server.set_keep_alive_timeout(1);

  const std::string contents = connectionFileContents(port, token);
  try {
    writePrivateFileAtomically(connectionPath, contents);
  } catch (const std::exception&) {
    return fail("cannot write the connection file " + connectionPath.string() + ".");
  }

  std::atomic<bool> stopping = false;
  std::thread serving([&] {
    server.listen_after_bind();
    // The server ended without being asked to: wake the waiting main thread.
    if (!stopping) ::kill(::getpid(), SIGTERM);
  });
  // stop() only takes effect once the server runs; wait for that first so a
  // signal that arrives early cannot be lost.
  while (!server.is_running() && serving.joinable()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (stopping) break;
  }

  std::printf("tindrel-companion: listening on http://127.0.0.1:%d (connection file %s)\n", port,
              connectionPath.c_str());
  std::fflush(stdout);

  int signalNumber = 0;
  while (sigwait(&stopSignals, &signalNumber) != 0) {
  }
  stopping = true;
  // The file goes first: from this moment clients report the service as
  // unavailable instead of trying a server that is shutting down.
  removeConnectionFileIfUnchanged(connectionPath, contents);
  server.stop();
  serving.join();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string error;
  const std::optional<CompanionOptions> options = parseOptions(arguments, error);
  if (!options) {
    std::fprintf(stderr, "tindrel-companion: %s. Use tindrel-companion --help.\n", error.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  try {
    return run(*options);
  } catch (const std::exception& exception) {
    return fail(exception.what());
  }
}
