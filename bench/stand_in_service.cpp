// tindrel-bench-service: a deliberately minimal stand-in for the app's local
// service, fast enough that it is never what a benchmark measures.
//
// HTTP/1.1 with keep-alive on 127.0.0.1, one blocking thread per connection,
// every answer prepared before the first connection is accepted and written
// with one writev. It knows three routes: GET /api/v1/health, GET
// /api/v1/jobs/<the benchmark job id> (a completed job whose transcript has
// the requested number of scalars) and POST /api/v1/transcribe; a wrong
// Authorization value gets 401, anything else 404.
//
// Usage: tindrel-bench-service --token <token> [--transcript-scalars <n>]
// It prints "port <n>" and a line feed on standard output once it listens,
// and exits when its standard input reaches its end, so it never outlives the
// process that started it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "json/json_writer.h"
#include "transcript_fixture.h"

namespace {

struct Answer {
  std::string head;  // Status line and headers, ending with the blank line.
  std::string body;
};

Answer makeAnswer(std::string_view status, std::string body) {
  Answer answer;
  answer.head.append("HTTP/1.1 ").append(status).append("\r\n");
  answer.head.append("Content-Type: application/json\r\n");
  answer.head.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n\r\n");
  answer.body = std::move(body);
  return answer;
}

struct Answers {
  std::string expectedAuthorization;
  std::string jobPath;
  Answer health;
  Answer job;
  Answer transcribe;
  Answer unauthorized;
  Answer notFound;
};

const Answers* gAnswers = nullptr;

bool writeAll(int fd, const Answer& answer) {
  iovec parts[2] = {{const_cast<char*>(answer.head.data()), answer.head.size()},
                    {const_cast<char*>(answer.body.data()), answer.body.size()}};
  int index = 0;
  while (index < 2) {
    const ssize_t written = ::writev(fd, parts + index, 2 - index);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    auto left = static_cast<std::size_t>(written);
    while (index < 2 && left >= parts[index].iov_len) {
      left -= parts[index].iov_len;
      ++index;
    }
    if (index < 2) {
      parts[index].iov_base = static_cast<char*>(parts[index].iov_base) + left;
      parts[index].iov_len -= left;
    }
  }
  return true;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Serves one connection until the peer closes it or asks to close it.
void serveConnection(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::string buffer;
  buffer.reserve(8192);
  char chunk[16384];
  for (;;) {
    std::size_t headerEnd;
    while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0 || buffer.size() > (1u << 20)) {
        ::close(fd);
        return;
      }
      buffer.append(chunk, static_cast<std::size_t>(got));
    }
    const std::string_view head(buffer.data(), headerEnd);
    const std::size_t lineEnd = head.find("\r\n");
    const std::string_view requestLine = head.substr(0, lineEnd);
    const std::size_t firstSpace = requestLine.find(' ');
    const std::size_t secondSpace = requestLine.find(' ', firstSpace + 1);
    const std::string_view method = requestLine.substr(0, firstSpace);
    const std::string_view target =
        firstSpace == std::string_view::npos
            ? std::string_view()
            : requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);

    std::string_view authorization;
    std::size_t contentLength = 0;
    bool close = false;
    std::size_t position = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
    while (position < head.size()) {
      std::size_t end = head.find("\r\n", position);
      if (end == std::string_view::npos) end = head.size();
      const std::string_view line = head.substr(position, end - position);
      position = end + 2;
      const std::size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      const std::string_view name = line.substr(0, colon);
      const std::string_view value = trimmed(line.substr(colon + 1));
      if (equalsIgnoringCase(name, "authorization")) {
        authorization = value;
      } else if (equalsIgnoringCase(name, "content-length")) {
        contentLength = std::strtoul(std::string(value).c_str(), nullptr, 10);
      } else if (equalsIgnoringCase(name, "connection")) {
        close = equalsIgnoringCase(value, "close");
      }
    }
    const std::size_t requestEnd = headerEnd + 4 + contentLength;
    while (buffer.size() < requestEnd) {
      const ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ::close(fd);
        return;
      }
      buffer.append(chunk, static_cast<std::size_t>(got));
    }

    const Answers& answers = *gAnswers;
    const Answer* answer = &answers.notFound;
    if (authorization != answers.expectedAuthorization) {
      answer = &answers.unauthorized;
    } else if (method == "GET" && target == "/api/v1/health") {
      answer = &answers.health;
    } else if (method == "GET" && target == answers.jobPath) {
      answer = &answers.job;
    } else if (method == "POST" && target == "/api/v1/transcribe") {
      answer = &answers.transcribe;
    }
    // The head is no longer needed: drop this request before answering.
    buffer.erase(0, requestEnd);
    if (!writeAll(fd, *answer) || close) {
      ::close(fd);
      return;
    }
  }
}

[[noreturn]] void usage() {
  std::fputs("usage: tindrel-bench-service --token <token> [--transcript-scalars <n>]\n", stderr);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::string token;
  std::size_t scalars = 1000000;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--token" && i + 1 < argc) {
      token = argv[++i];
    } else if (argument == "--transcript-scalars" && i + 1 < argc) {
      scalars = std::strtoul(argv[++i], nullptr, 10);
    } else {
      usage();
    }
  }
  if (token.empty()) usage();

  static Answers answers;
  answers.expectedAuthorization = "Bearer " + token;
  answers.jobPath = std::string("/api/v1/jobs/") + tindrel::bench::kBenchJobId;
  answers.health = makeAnswer(
      "200 OK",
      R"({"status":"ready","appVersion":"1.0","modelsReady":true,"models":[{"name":"speech","ready":true},{"name":"speakers","ready":true}],"queueLength":0})");
  const auto texts = tindrel::bench::makeUtteranceTexts(scalars);
  answers.job = makeAnswer("200 OK", tindrel::writeJson(tindrel::bench::makeCompletedJobAnswer(
                                         tindrel::bench::makeResult(texts))));
  answers.transcribe =
      makeAnswer("200 OK", std::string(R"({"jobId":")") + tindrel::bench::kBenchJobId +
                               R"(","status":"queued","deduplicated":false})");
  answers.unauthorized = makeAnswer(
      "401 Unauthorized", R"({"code":"unauthorized","error":"Missing or invalid token."})");
  answers.notFound =
      makeAnswer("404 Not Found", R"({"code":"not_found","error":"No such endpoint or job."})");
  gAnswers = &answers;

  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) return 1;
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 4096) != 0) {
    std::perror("tindrel-bench-service: listen");
    return 1;
  }
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::printf("port %u\n", static_cast<unsigned>(ntohs(address.sin_port)));
  std::fflush(stdout);

  // Ends the process when the starter closes our standard input (or dies).
  std::thread([] {
    char byte;
    while (::read(0, &byte, 1) > 0) {
    }
    std::_Exit(0);
  }).detach();

  for (;;) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      return 1;
    }
    std::thread(serveConnection, fd).detach();
  }
}
