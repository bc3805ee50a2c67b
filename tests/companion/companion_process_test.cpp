// The tindrel-companion executable: start-up, the connection file it
// announces itself with, and a clean stop on SIGINT and SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "companion_test_support.h"
#include "gtest/gtest.h"

extern char** environ;

namespace tindrel::companion {
namespace {

using testing::readFile;
using Clock = std::chrono::steady_clock;

// One run of the executable with its standard output and error in pipes.
// The destructor kills and reaps it if a test has not done so.
class CompanionProcess {
 public:
  explicit CompanionProcess(const std::vector<std::string>& arguments) {
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> all = {TINDREL_COMPANION_BINARY};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int spawned =
        ::posix_spawn(&pid_, TINDREL_COMPANION_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    stdout_ = out[0];
    stderr_ = err[0];
    if (spawned != 0) throw std::runtime_error("posix_spawn");
  }
  CompanionProcess(const CompanionProcess&) = delete;
  CompanionProcess& operator=(const CompanionProcess&) = delete;
  ~CompanionProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(stdout_);
    ::close(stderr_);
  }

  // The first line on standard output, or nullopt after `timeout`.
  std::optional<std::string> readLine(std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (output_.find('\n') == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd descriptor{stdout_, POLLIN, 0};
      if (::poll(&descriptor, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::read(stdout_, buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      output_.append(buffer, static_cast<std::size_t>(n));
    }
    return output_.substr(0, output_.find('\n'));
  }

  // Everything written so far on standard output and error, once it has
  // exited.
  std::string allOutput() {
    std::string all = output_;
    for (const int fd : {stdout_, stderr_}) {
      char buffer[512];
      ssize_t n;
      while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        all.append(buffer, static_cast<std::size_t>(n));
      }
    }
    return all;
  }

  // The exit status after `timeout`, or nullopt when it has not exited (or
  // was killed by a signal).
  std::optional<int> waitForExit(std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }

  void signal(int number) const { ::kill(pid_, number); }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string output_;
};

constexpr auto kTimeout = std::chrono::seconds(20);

int portOf(const std::string& baseURL) { return std::stoi(baseURL.substr(baseURL.rfind(':') + 1)); }

mode_t modeOf(const std::filesystem::path& path) {
  struct stat attributes {};
  if (::lstat(path.c_str(), &attributes) != 0) return 0;
  return attributes.st_mode & 07777;
}

TEST(CompanionProcess, AnnouncesItselfInAPrivateFileAndRemovesItWhenStopped) {
  for (const int stopSignal : {SIGTERM, SIGINT}) {
    testing::TemporaryDirectory dir;
    const auto agent = dir.path() / "Library" / "Tindrel" / "Agent";
    const auto connection = agent / "connection.json";
    CompanionProcess companion({"--connection", connection.string(), "--speed", "50"});
    const std::optional<std::string> ready = companion.readLine(kTimeout);
    ASSERT_TRUE(ready) << "no ready line";

    EXPECT_EQ(modeOf(connection), 0600u);
    EXPECT_EQ(modeOf(agent), 0700u);
    EXPECT_EQ(modeOf(dir.path() / "Library"), 0700u);
    const boost::json::object file = boost::json::parse(readFile(connection)).as_object();
    EXPECT_EQ(file.size(), 4u);
    EXPECT_EQ(file.at("apiVersion"), "v1");
    EXPECT_EQ(file.at("localOnly"), true);
    const std::string baseURL(file.at("baseURL").as_string());
    EXPECT_EQ(baseURL.rfind("http://127.0.0.1:", 0), 0u);
    EXPECT_NE(ready->find(baseURL), std::string::npos) << *ready;
    const std::string header(file.at("authorizationHeader").as_string());
    ASSERT_EQ(header.size(), 7u + 64u);
    EXPECT_EQ(header.substr(0, 7), "Bearer ");
    const std::string token = header.substr(7);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);

    httplib::Client client("127.0.0.1", portOf(baseURL));
    client.set_read_timeout(10);
    const httplib::Result refused = client.Get("/api/v1/health");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    const httplib::Result health = client.Get("/api/v1/health", {{"Authorization", header}});
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);

    companion.signal(stopSignal);
    EXPECT_EQ(companion.waitForExit(kTimeout), 0);
    EXPECT_FALSE(std::filesystem::exists(connection));
    EXPECT_EQ(companion.allOutput().find(token), std::string::npos) << "the token was printed";
    // Only the job directory, if any, is left: no temporary file.
    for (const auto& entry : std::filesystem::directory_iterator(agent)) {
      EXPECT_EQ(entry.path().filename(), "Jobs");
    }
  }
}

TEST(CompanionProcess, EachStartMakesAFreshTokenAndLeavesAReplacedFileAlone) {
  testing::TemporaryDirectory dir;
  const auto connection = dir.path() / "connection.json";
  std::string firstToken;
  {
    CompanionProcess companion({"--connection", connection.string()});
    ASSERT_TRUE(companion.readLine(kTimeout));
    firstToken = readFile(connection);
    companion.signal(SIGTERM);
    EXPECT_EQ(companion.waitForExit(kTimeout), 0);
  }
  CompanionProcess companion({"--connection", connection.string()});
  ASSERT_TRUE(companion.readLine(kTimeout));
  EXPECT_NE(readFile(connection), firstToken);

  // Another instance has written the file since: stopping must not remove it.
  const std::string replaced =
      R"({"apiVersion":"v1","authorizationHeader":"Bearer x","baseURL":"http://127.0.0.1:1","localOnly":true})";
  testing::writeFile(connection, replaced);
  companion.signal(SIGTERM);
  EXPECT_EQ(companion.waitForExit(kTimeout), 0);
  EXPECT_EQ(readFile(connection), replaced);
}

TEST(CompanionProcess, RefusesInvalidArgumentsWithStatusTwo) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"--connection", "relative.json"}, {"--port", "none"}, {"--bogus"}}) {
    CompanionProcess companion(arguments);
    EXPECT_EQ(companion.waitForExit(kTimeout), 2) << arguments.front();
  }
}

TEST(CompanionProcess, ReportsAPortInUse) {
  testing::TemporaryDirectory dir;
  httplib::Server occupant;
  const int port = occupant.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  CompanionProcess companion(
      {"--connection", (dir.path() / "c.json").string(), "--port", std::to_string(port)});
  EXPECT_EQ(companion.waitForExit(kTimeout), 1);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "c.json"));
}

}  // namespace
}  // namespace tindrel::companion
