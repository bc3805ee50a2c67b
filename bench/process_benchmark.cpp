// tindrel-process-bench: measures the built tindrel-mcp as a client sees it,
// against a fast stand-in service of its own, over loopback only.
//
// Readings: cold start (spawn to the initialize answer); sequential
// tindrel_health round trips next to two floors measured in the same run (the
// raw HTTP exchange with the same service through a keep-alive libcurl handle,
// and a stdio echo through `cat`); throughput with 64 and 1,024 calls in
// flight, every call checked to be answered exactly once; the server's CPU,
// memory and wake-ups under load and idle; and the time to read every page of
// a large transcript as text and as JSON, checked against the transcript.
//
// Every phase is bounded in calls and in time, and a watchdog ends the whole
// run (and its children) should a phase stall. Results are printed as a table
// and as JSON lines (also written to --json-out). The exit status is 0 when
// every correctness check passed, whether or not the targets were met.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <semaphore>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "child_process.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "process_stats.h"
#include "transcript_fixture.h"

namespace tindrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---------------------------------------------------------------------------
// Watchdog: ends the run when a phase outlives its allowance, killing the
// children first so that nothing is left behind.

class Watchdog {
 public:
  Watchdog() : thread_([this] { run(); }) {}
  ~Watchdog() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  void arm(const std::string& phase, std::chrono::seconds allowance) {
    {
      const std::lock_guard lock(mutex_);
      phase_ = phase;
      deadline_ = Clock::now() + allowance;
    }
    changed_.notify_all();
  }
  void disarm() { arm("", std::chrono::hours(24 * 365)); }
  void track(pid_t pid) {
    const std::lock_guard lock(mutex_);
    pids_.push_back(pid);
  }
  // Called once a tracked child has been waited for, so that its id, which
  // the system may give to another process, is never signalled.
  void untrack(pid_t pid) {
    const std::lock_guard lock(mutex_);
    std::erase(pids_, pid);
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (changed_.wait_until(lock, deadline_) == std::cv_status::timeout &&
          Clock::now() >= deadline_ && !stopping_) {
        std::fprintf(stderr, "tindrel-process-bench: phase '%s' stalled; giving up\n",
                     phase_.c_str());
        for (const pid_t pid : pids_) ::kill(pid, SIGKILL);
        std::_Exit(3);
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::string phase_;
  Clock::time_point deadline_ = Clock::now() + std::chrono::hours(24 * 365);
  std::vector<pid_t> pids_;
  bool stopping_ = false;
  std::thread thread_;
};

Watchdog* gWatchdog = nullptr;

// ---------------------------------------------------------------------------
// Results.

struct Percentiles {
  double p50 = 0;
  double p99 = 0;
  double mean = 0;
};

Percentiles percentiles(std::vector<double> samples) {
  Percentiles result;
  if (samples.empty()) return result;
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double fraction) {
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1));
    return samples[index];
  };
  result.p50 = at(0.50);
  result.p99 = at(0.99);
  double sum = 0;
  for (const double sample : samples) sum += sample;
  result.mean = sum / static_cast<double>(samples.size());
  return result;
}

struct Row {
  std::string metric;  // Machine name, e.g. "cold_start_ms".
  std::string label;   // Table label.
  double value = 0;
  std::string unit;
  std::string target;       // Empty when the reading has no target.
  std::optional<bool> met;  // Whether the target was met.
  JsonObject details;       // Extra readings for the JSON line.
};

class Report {
 public:
  void add(Row row) { rows_.push_back(std::move(row)); }
  void fail(const std::string& what) {
    failures_.push_back(what);
    std::fprintf(stderr, "CHECK FAILED: %s\n", what.c_str());
  }
  bool passed() const { return failures_.empty(); }

  void print(std::FILE* out, const std::string& machine) const {
    std::fprintf(out, "\ntindrel-mcp process benchmark (%s)\n", machine.c_str());
    std::fprintf(out, "%-52s %14s  %-8s %-24s %s\n", "reading", "value", "unit", "target", "met");
    std::fprintf(out, "%s\n", std::string(108, '-').c_str());
    for (const Row& row : rows_) {
      std::fprintf(out, "%-52s %14s  %-8s %-24s %s\n", row.label.c_str(), format(row.value).c_str(),
                   row.unit.c_str(), row.target.c_str(),
                   row.met.has_value() ? (*row.met ? "yes" : "NO") : "");
    }
    std::fprintf(out, "\ncorrectness checks: %s\n",
                 failures_.empty() ? "all passed" : "FAILED (see above)");
  }

  std::string jsonLines(const JsonObject& context) const {
    std::string lines;
    for (const Row& row : rows_) {
      JsonObject line = row.details;
      line["metric"] = row.metric;
      line["value"] = row.value;
      line["unit"] = row.unit;
      if (!row.target.empty()) line["target"] = row.target;
      if (row.met.has_value()) line["met"] = *row.met;
      line["context"] = context;
      lines.append(writeJson(line)).push_back('\n');
    }
    JsonObject summary;
    summary["metric"] = "correctness_checks_passed";
    summary["value"] = failures_.empty();
    summary["context"] = context;
    lines.append(writeJson(summary)).push_back('\n');
    return lines;
  }

 private:
  static std::string format(double value) {
    char text[64];
    if (value != 0 && (std::abs(value) >= 1e6 || std::abs(value) < 0.01)) {
      std::snprintf(text, sizeof text, "%.3g", value);
    } else if (std::abs(value) >= 1000) {
      std::snprintf(text, sizeof text, "%.0f", value);
    } else {
      std::snprintf(text, sizeof text, "%.3g", value);
    }
    return text;
  }

  std::vector<Row> rows_;
  std::vector<std::string> failures_;
};

// ---------------------------------------------------------------------------
// Talking to the server.

std::string initializeLine(std::int64_t id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"initialize","params":{"protocolVersion":"2025-11-25","capabilities":{},"clientInfo":{"name":"tindrel-process-bench","version":"1.0.0"}}})"
         "\n";
}

constexpr std::string_view kInitializedLine =
    R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
    "\n";

void appendHealthCall(std::string& out, std::int64_t id) {
  out.append(R"({"jsonrpc":"2.0","id":)");
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, id).ptr;
  out.append(digits, end);
  out.append(R"(,"method":"tools/call","params":{"name":"tindrel_health","arguments":{}}})"
             "\n");
}

std::string resultCall(std::int64_t id, std::string_view format, std::int64_t offset) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":"tindrel_get_result","arguments":{"jobId":")" +
         kBenchJobId + R"(","format":")" + std::string(format) + R"(","offset":)" +
         std::to_string(offset) +
         R"(,"maxCharacters":16000}}})"
         "\n";
}

// The id of a response line. Every object the server writes has its keys in
// ascending order, so a result line starts with its id; an error line has
// "error" first and is read in full.
std::optional<std::int64_t> responseId(std::string_view line) {
  constexpr std::string_view prefix = R"({"id":)";
  if (line.substr(0, prefix.size()) == prefix) {
    std::int64_t id = 0;
    const char* begin = line.data() + prefix.size();
    const auto [end, error] = std::from_chars(begin, line.data() + line.size(), id);
    if (error == std::errc() && end != begin) return id;
    return std::nullopt;
  }
  try {
    const JsonValue message = readJson(line);
    if (const JsonValue* id = message.find("id"); id != nullptr && id->asInteger() != nullptr) {
      return *id->asInteger();
    }
  } catch (const JsonReadError&) {
  }
  return std::nullopt;
}

bool isSuccessfulToolResult(std::string_view line) {
  return line.find(R"("isError":false)") != std::string_view::npos &&
         line.find(R"("result":)") != std::string_view::npos;
}

struct Server {
  std::unique_ptr<ChildProcess> process;
  std::int64_t nextId = 1;
};

Server startServer(const std::string& binary, const std::string& connectionPath, Report& report) {
  Server server;
  server.process = std::make_unique<ChildProcess>(
      std::vector<std::string>{binary, "--connection", connectionPath});
  gWatchdog->track(server.process->pid());
  server.process->write(initializeLine(0));
  std::string_view line;
  if (!server.process->readLine(line) ||
      line.find(R"("protocolVersion":"2025-11-25")") == std::string_view::npos) {
    report.fail("the server did not answer initialize");
    throw std::runtime_error("no initialize answer");
  }
  server.process->write(kInitializedLine);
  return server;
}

// ---------------------------------------------------------------------------
// Floors.

struct CurlBody {
  static size_t append(char* data, size_t size, size_t count, void* context) {
    static_cast<std::string*>(context)->append(data, size * count);
    return size * count;
  }
};

// Sequential GET /api/v1/health through one keep-alive libcurl handle, the
// HTTP client the server itself uses.
std::vector<double> curlHealthRoundTrips(int port, const std::string& authorization,
                                         std::size_t calls, Report& report) {
  CURL* easy = curl_easy_init();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/api/v1/health";
  const std::string header = "Authorization: " + authorization;
  curl_slist* headers = curl_slist_append(nullptr, header.c_str());
  std::string body;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlBody::append);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  std::vector<double> samples;
  samples.reserve(calls);
  for (std::size_t i = 0; i < calls + calls / 10; ++i) {
    body.clear();
    const auto start = Clock::now();
    const CURLcode result = curl_easy_perform(easy);
    const double seconds = secondsSince(start);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (result != CURLE_OK || status != 200 || body.empty()) {
      report.fail("the HTTP floor's exchange failed");
      break;
    }
    if (i >= calls / 10) samples.push_back(seconds);  // The first tenth warms up.
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(easy);
  return samples;
}

// The same exchange on a plain socket: what HTTP over loopback costs without
// any client library.
std::vector<double> socketHealthRoundTrips(int port, const std::string& authorization,
                                           std::size_t calls, Report& report) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<double> samples;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    report.fail("the socket floor could not connect");
    ::close(fd);
    return samples;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const std::string request =
      "GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
      "\r\nAuthorization: " + authorization + "\r\nAccept: */*\r\n\r\n";
  std::string buffer;
  char chunk[8192];
  for (std::size_t i = 0; i < calls + calls / 10; ++i) {
    const auto start = Clock::now();
    if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) break;
    buffer.clear();
    std::size_t wanted = std::string::npos;
    while (buffer.size() < wanted) {
      const ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got <= 0) break;
      buffer.append(chunk, static_cast<std::size_t>(got));
      const std::size_t headerEnd = buffer.find("\r\n\r\n");
      if (wanted == std::string::npos && headerEnd != std::string::npos) {
        const std::size_t length = buffer.find("Content-Length: ");
        wanted = headerEnd + 4 + std::strtoul(buffer.c_str() + length + 16, nullptr, 10);
      }
    }
    const double seconds = secondsSince(start);
    if (buffer.size() != wanted || buffer.compare(0, 12, "HTTP/1.1 200") != 0) {
      report.fail("the socket floor's exchange failed");
      break;
    }
    if (i >= calls / 10) samples.push_back(seconds);
  }
  ::close(fd);
  return samples;
}

// A line of `size` bytes written to `cat` and read back.
std::vector<double> echoRoundTrips(std::size_t size, std::size_t calls, Report& report) {
  ChildProcess cat({"cat"});
  gWatchdog->track(cat.pid());
  std::string line(size > 0 ? size - 1 : 0, 'x');
  line.push_back('\n');
  std::vector<double> samples;
  std::string_view echoed;
  for (std::size_t i = 0; i < calls + calls / 10; ++i) {
    const auto start = Clock::now();
    cat.write(line);
    if (!cat.readLine(echoed) || echoed.size() + 1 != line.size()) {
      report.fail("the stdio echo floor lost its line");
      break;
    }
    const double seconds = secondsSince(start);
    if (i >= calls / 10) samples.push_back(seconds);
  }
  const pid_t pid = cat.pid();
  cat.finish();
  gWatchdog->untrack(pid);
  return samples;
}

// ---------------------------------------------------------------------------
// Load: a fixed number of calls in flight.

struct LoadResult {
  std::size_t issued = 0;
  std::size_t answered = 0;
  std::size_t failedResults = 0;
  std::size_t duplicates = 0;
  std::size_t strangers = 0;  // Lines with no id or an id never sent.
  std::size_t missing = 0;
  double seconds = 0;
  double driverCpuSeconds = 0;
  double serverCpuSeconds = 0;
  double serviceCpuSeconds = 0;
  int peakThreads = 0;
  std::int64_t peakRssKiB = 0;
};

LoadResult runLoad(Server& server, pid_t servicePid, std::size_t width, std::size_t maxCalls,
                   double maxSeconds) {
  LoadResult result;
  const std::int64_t firstId = server.nextId;
  server.nextId += static_cast<std::int64_t>(maxCalls);
  std::vector<std::uint8_t> seen(maxCalls, 0);
  std::counting_semaphore<1 << 20> slots(static_cast<std::ptrdiff_t>(width));
  std::atomic<std::size_t> issued{0};
  std::atomic<bool> writerDone{false};
  std::atomic<bool> samplerDone{false};
  ChildProcess& process = *server.process;
  const pid_t serverPid = process.pid();

  // Samples the server's threads and memory while the load runs.
  std::thread sampler([&] {
    while (!samplerDone.load()) {
      const ProcessSample sample = sampleProcess(serverPid);
      result.peakThreads = std::max(result.peakThreads, sample.threads);
      result.peakRssKiB = std::max(result.peakRssKiB, sample.rssKiB);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  const ProcessSample serverBefore = sampleProcess(serverPid);
  const ProcessSample serviceBefore = sampleProcess(servicePid);
  const double driverBefore = ownCpuSeconds();
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(maxSeconds));

  // Writes whole lines, as many at once as there are free slots (up to 64),
  // so that the driver spends few system calls per call.
  std::thread writer([&] {
    std::string batch;
    std::size_t sent = 0;
    while (sent < maxCalls) {
      slots.acquire();
      std::size_t count = 1;
      while (count < 64 && sent + count < maxCalls && slots.try_acquire()) ++count;
      if (Clock::now() >= deadline) {
        slots.release(static_cast<std::ptrdiff_t>(count));
        break;
      }
      batch.clear();
      for (std::size_t i = 0; i < count; ++i) {
        appendHealthCall(batch, firstId + static_cast<std::int64_t>(sent + i));
      }
      sent += count;
      issued.store(sent);
      process.write(batch);
    }
    writerDone.store(true);
  });

  std::string_view line;
  for (;;) {
    const std::size_t target = issued.load();
    if (result.answered >= target) {
      if (writerDone.load() && result.answered >= issued.load()) break;
      std::this_thread::yield();
      continue;
    }
    if (!process.readLine(line)) break;
    const std::optional<std::int64_t> id = responseId(line);
    if (!id || *id < firstId || *id >= firstId + static_cast<std::int64_t>(maxCalls)) {
      ++result.strangers;
      continue;
    }
    std::uint8_t& mark = seen[static_cast<std::size_t>(*id - firstId)];
    if (mark++ != 0) {
      ++result.duplicates;
      continue;
    }
    if (!isSuccessfulToolResult(line)) ++result.failedResults;
    ++result.answered;
    slots.release();
  }
  result.seconds = secondsSince(start);
  writer.join();
  result.driverCpuSeconds = ownCpuSeconds() - driverBefore;
  const ProcessSample serverAfter = sampleProcess(serverPid);
  const ProcessSample serviceAfter = sampleProcess(servicePid);
  samplerDone.store(true);
  sampler.join();
  result.serverCpuSeconds = serverAfter.cpuSeconds - serverBefore.cpuSeconds;
  result.serviceCpuSeconds = serviceAfter.cpuSeconds - serviceBefore.cpuSeconds;
  result.issued = issued.load();
  for (std::size_t i = 0; i < result.issued; ++i) {
    if (seen[i] == 0) ++result.missing;
  }
  return result;
}

// ---------------------------------------------------------------------------
// Paging through the transcript.

struct PagingResult {
  double seconds = 0;
  std::size_t pages = 0;
  std::vector<std::string> lines;  // Kept when asked for, for the checks.
};

PagingResult readAllPages(Server& server, std::string_view format, bool keep, Report& report) {
  PagingResult result;
  std::int64_t offset = 0;
  std::string_view line;
  constexpr std::string_view marker = R"("nextOffset":)";
  const auto start = Clock::now();
  for (;;) {
    server.process->write(resultCall(server.nextId++, format, offset));
    if (!server.process->readLine(line)) {
      report.fail("the server ended while paging");
      return result;
    }
    ++result.pages;
    if (keep) result.lines.emplace_back(line);
    // Strings in the line have their quotation marks escaped, so the marker
    // occurs only as the member of structuredContent.
    const std::size_t at = line.find(marker);
    if (at == std::string_view::npos) {
      report.fail(std::string("a ") + std::string(format) + " page had no nextOffset");
      return result;
    }
    const char* begin = line.data() + at + marker.size();
    if (std::string_view(begin, 4) == "null") break;
    std::int64_t next = 0;
    std::from_chars(begin, line.data() + line.size(), next);
    if (next <= offset || result.pages > 100000) {
      report.fail("nextOffset did not advance");
      return result;
    }
    offset = next;
  }
  result.seconds = secondsSince(start);
  return result;
}

// Joins the pages' texts and checks every page's members.
std::optional<std::string> joinPages(const std::vector<std::string>& lines, Report& report) {
  std::string joined;
  std::int64_t expectedOffset = 0;
  for (const std::string& line : lines) {
    const JsonValue message = readJson(line);
    const JsonValue* result = message.find("result");
    const JsonValue* content = result ? result->find("structuredContent") : nullptr;
    const JsonValue* isError = result ? result->find("isError") : nullptr;
    if (content == nullptr || isError == nullptr || *isError != JsonValue(false)) {
      report.fail("a page was not a successful tool result");
      return std::nullopt;
    }
    const JsonValue* text = content->find("text");
    const JsonValue* offset = content->find("offset");
    if (text == nullptr || !text->isString() || offset == nullptr ||
        *offset != JsonValue(expectedOffset)) {
      report.fail("a page had the wrong offset or no text");
      return std::nullopt;
    }
    joined.append(*text->asString());
    if (const JsonValue* next = content->find("nextOffset"); next && next->isInteger()) {
      expectedOffset = *next->asInteger();
    }
  }
  return joined;
}

// ---------------------------------------------------------------------------
// Set-up.

struct Options {
  std::string server;
  std::string service;
  std::size_t transcriptScalars = 1000000;
  std::size_t sequentialCalls = 5000;
  std::size_t loadCalls = 400000;
  double loadSeconds = 4;
  std::string jsonOut;
};

[[noreturn]] void usage() {
  std::fputs(
      "usage: tindrel-process-bench --server <tindrel-mcp> --service <tindrel-bench-service>\n"
      "         [--transcript-scalars N] [--sequential-calls N] [--load-calls N]\n"
      "         [--load-seconds S] [--json-out FILE]\n",
      stderr);
  std::exit(2);
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (i + 1 >= argc) usage();
    const char* value = argv[++i];
    if (name == "--server") {
      options.server = value;
    } else if (name == "--service") {
      options.service = value;
    } else if (name == "--transcript-scalars") {
      options.transcriptScalars = std::strtoul(value, nullptr, 10);
    } else if (name == "--sequential-calls") {
      options.sequentialCalls = std::max<std::size_t>(10, std::strtoul(value, nullptr, 10));
    } else if (name == "--load-calls") {
      options.loadCalls = std::max<std::size_t>(1000, std::strtoul(value, nullptr, 10));
    } else if (name == "--load-seconds") {
      options.loadSeconds = std::clamp(std::strtod(value, nullptr), 0.5, 60.0);
    } else if (name == "--json-out") {
      options.jsonOut = value;
    } else {
      usage();
    }
  }
  if (options.server.empty() || options.service.empty()) usage();
  return options;
}

std::string randomToken() {
  std::random_device device;
  std::string token;
  constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 48; ++i) token.push_back(kDigits[device() % 16]);
  return token;
}

// A private directory holding the connection file (mode 0600); removed when
// the run ends.
struct ConnectionFile {
  std::string directory;
  std::string path;
  ConnectionFile(int port, const std::string& authorization) {
    std::string pattern = "/tmp/tindrel-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory = pattern;
    path = directory + "/connection.json";
    JsonObject content;
    content["apiVersion"] = "v1";
    content["baseURL"] = "http://127.0.0.1:" + std::to_string(port);
    content["authorizationHeader"] = authorization;
    content["localOnly"] = true;
    const std::string text = writeJson(content);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      throw std::runtime_error("cannot write the connection file");
    }
    ::close(fd);
  }
  ~ConnectionFile() {
    ::unlink(path.c_str());
    ::rmdir(directory.c_str());
  }
};

std::string machineDescription() {
  std::string model = "unknown CPU";
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  return std::to_string(std::thread::hardware_concurrency()) + " CPUs, " + model;
}

Row row(std::string metric, std::string label, double value, std::string unit,
        std::string target = "", std::optional<bool> met = std::nullopt) {
  Row result;
  result.metric = std::move(metric);
  result.label = std::move(label);
  result.value = value;
  result.unit = std::move(unit);
  result.target = std::move(target);
  result.met = met;
  return result;
}

// ---------------------------------------------------------------------------

double loadAverage() {
  double averages[1] = {-1};
  return ::getloadavg(averages, 1) == 1 ? averages[0] : -1;
}

int run(const Options& options) {
  Report report;
  // Other work on the machine skews every reading: it is shown with them.
  const double loadBefore = loadAverage();
  const std::string token = randomToken();
  const std::string authorization = "Bearer " + token;

  // The stand-in service.
  gWatchdog->arm("starting the stand-in service", std::chrono::seconds(60));
  ChildProcess service({options.service, "--token", token, "--transcript-scalars",
                        std::to_string(options.transcriptScalars)},
                       false);
  gWatchdog->track(service.pid());
  std::string_view portLine;
  if (!service.readLine(portLine) || portLine.substr(0, 5) != "port ") {
    std::fputs("tindrel-process-bench: the stand-in service did not start\n", stderr);
    return 1;
  }
  const int port = std::atoi(std::string(portLine.substr(5)).c_str());
  const ConnectionFile connection(port, authorization);

  // Cold start: spawn to the initialize answer.
  gWatchdog->arm("cold start", std::chrono::seconds(60));
  {
    std::vector<double> samples;
    const std::string line = initializeLine(0);
    for (int run = 0; run < 23; ++run) {
      const auto start = Clock::now();
      ChildProcess process({options.server, "--connection", connection.path});
      gWatchdog->track(process.pid());
      process.write(line);
      std::string_view answer;
      const bool answered = process.readLine(answer);
      const double seconds = secondsSince(start);
      if (!answered || answer.find(R"("serverInfo")") == std::string_view::npos) {
        report.fail("a cold start gave no initialize answer");
        break;
      }
      const pid_t pid = process.pid();
      const int status = process.finish();
      gWatchdog->untrack(pid);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        report.fail("the server did not exit with status 0 at the end of its input");
      }
      if (run >= 3) samples.push_back(seconds * 1e3);  // Three runs warm the caches.
    }
    const Percentiles cold = percentiles(samples);
    Row cold_row = row("cold_start_ms", "cold start, spawn to initialize answer (median of 20)",
                       cold.p50, "ms", "<= 5 ms", cold.p50 <= 5.0);
    cold_row.details["samples"] = static_cast<std::int64_t>(samples.size());
    cold_row.details["p99"] = cold.p99;
    report.add(std::move(cold_row));
  }

  // One long-lived session for everything else.
  gWatchdog->arm("starting the session", std::chrono::seconds(30));
  Server server = startServer(options.server, connection.path, report);
  const pid_t serverPid = server.process->pid();
  const std::int64_t rssAfterInitialize = sampleProcess(serverPid).rssKiB;

  // The size of a health answer line, for the echo floor.
  std::string probe;
  appendHealthCall(probe, server.nextId++);
  server.process->write(probe);
  std::string_view healthLine;
  if (!server.process->readLine(healthLine) || !isSuccessfulToolResult(healthLine)) {
    report.fail("tindrel_health did not succeed");
    report.print(stdout, machineDescription());
    return 1;
  }
  const std::size_t healthLineSize = healthLine.size() + 1;

  // Floors and the sequential round trip, measured one after the other.
  gWatchdog->arm("sequential round trips", std::chrono::seconds(120));
  const std::size_t calls = options.sequentialCalls;
  const Percentiles echo = percentiles(echoRoundTrips(healthLineSize, calls, report));
  const Percentiles http = percentiles(curlHealthRoundTrips(port, authorization, calls, report));
  const Percentiles socketFloor =
      percentiles(socketHealthRoundTrips(port, authorization, calls, report));
  std::vector<double> sequential;
  {
    std::string request;
    std::string_view line;
    for (std::size_t i = 0; i < calls + calls / 10; ++i) {
      request.clear();
      const std::int64_t id = server.nextId++;
      appendHealthCall(request, id);
      const auto start = Clock::now();
      server.process->write(request);
      const bool answered = server.process->readLine(line);
      const double seconds = secondsSince(start);
      if (!answered || responseId(line) != id || !isSuccessfulToolResult(line)) {
        report.fail("a sequential tindrel_health call was not answered correctly");
        break;
      }
      if (i >= calls / 10) sequential.push_back(seconds);
    }
  }
  const Percentiles server_rt = percentiles(sequential);
  const double floorSum = http.p50 + echo.p50;
  {
    Row r = row("sequential_health_p50_us", "sequential tindrel_health round trip, p50",
                server_rt.p50 * 1e6, "us", "<= 2.5 x (HTTP + stdio floors)",
                server_rt.p50 <= 2.5 * floorSum);
    r.details["p99"] = server_rt.p99 * 1e6;
    r.details["mean"] = server_rt.mean * 1e6;
    r.details["calls"] = static_cast<std::int64_t>(sequential.size());
    r.details["ratioToFloors"] = server_rt.p50 / floorSum;
    r.details["answerLineBytes"] = static_cast<std::int64_t>(healthLineSize);
    report.add(std::move(r));
    report.add(row("sequential_health_p99_us", "sequential tindrel_health round trip, p99",
                   server_rt.p99 * 1e6, "us"));
    report.add(row("http_floor_p50_us", "  floor: HTTP exchange, keep-alive libcurl, p50",
                   http.p50 * 1e6, "us"));
    report.add(row("http_floor_p99_us", "  floor: HTTP exchange, keep-alive libcurl, p99",
                   http.p99 * 1e6, "us"));
    report.add(
        row("stdio_floor_p50_us", "  floor: stdio echo through cat, p50", echo.p50 * 1e6, "us"));
    report.add(
        row("stdio_floor_p99_us", "  floor: stdio echo through cat, p99", echo.p99 * 1e6, "us"));
    report.add(row("socket_http_p50_us", "  for reference: HTTP on a plain socket, p50",
                   socketFloor.p50 * 1e6, "us"));
    report.add(row("sequential_ratio_to_floors", "  round trip p50 / (HTTP + stdio floors)",
                   server_rt.p50 / floorSum, "x", "<= 2.5", server_rt.p50 / floorSum <= 2.5));
  }

  // Idle after a warm session: CPU, wake-ups and memory over 5 seconds.
  // `settle` lets work that follows a burst end first (the server retires
  // surplus worker threads a few seconds after a burst).
  const auto idleWindow = [&](const std::string& when, const std::string& metricSuffix,
                              bool withTargets, std::chrono::milliseconds settle) {
    gWatchdog->arm("idle window", std::chrono::seconds(40));
    std::this_thread::sleep_for(settle);
    const ProcessSample before = sampleProcess(serverPid);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const ProcessSample after = sampleProcess(serverPid);
    const double tickCpuMs = (after.cpuSeconds - before.cpuSeconds) * 1e3;
    const std::int64_t nanoseconds = cpuNanosecondsBetween(before, after);
    const double cpuMs = nanoseconds >= 0 ? static_cast<double>(nanoseconds) / 1e6 : tickCpuMs;
    const auto wakeups = static_cast<double>(switchesBetween(before, after));
    const double rssMiB = static_cast<double>(after.rssKiB) / 1024.0;
    const std::optional<bool> noMet;
    Row cpu = row("idle_cpu_ms_" + metricSuffix, "idle CPU over 5 s, " + when, cpuMs, "ms",
                  withTargets ? "0" : "", withTargets ? std::optional<bool>(cpuMs == 0) : noMet);
    cpu.details["ticksMs"] = tickCpuMs;
    cpu.details["threads"] = after.threads;
    cpu.details["settleMs"] = static_cast<std::int64_t>(settle.count());
    report.add(std::move(cpu));
    report.add(row("idle_wakeups_" + metricSuffix, "idle wake-ups over 5 s, " + when, wakeups,
                   "switches", withTargets ? "0" : "",
                   withTargets && wakeups >= 0 ? std::optional<bool>(wakeups == 0) : noMet));
    report.add(row("idle_rss_mib_" + metricSuffix, "idle RSS, " + when, rssMiB, "MiB",
                   withTargets ? "<= 6 MiB" : "",
                   withTargets ? std::optional<bool>(rssMiB <= 6.0) : noMet));
  };
  report.add(row("rss_after_initialize_mib", "RSS right after initialize",
                 static_cast<double>(rssAfterInitialize) / 1024.0, "MiB"));
  idleWindow("after sequential calls", "warm", true, std::chrono::milliseconds(500));

  // Throughput with 64 and 1,024 calls in flight.
  std::int64_t peakRssUnderLoad = 0;
  for (const std::size_t width : {std::size_t{64}, std::size_t{1024}}) {
    gWatchdog->arm("load with " + std::to_string(width) + " in flight",
                   std::chrono::seconds(static_cast<long>(options.loadSeconds) + 120));
    runLoad(server, service.pid(), width, 4 * width + 2000, 10);  // Warm-up.
    const LoadResult load =
        runLoad(server, service.pid(), width, options.loadCalls, options.loadSeconds);
    const double rate = static_cast<double>(load.answered) / load.seconds;
    const bool exact = load.missing == 0 && load.duplicates == 0 && load.strangers == 0 &&
                       load.answered == load.issued;
    if (!exact) {
      report.fail("with " + std::to_string(width) + " in flight: " + std::to_string(load.missing) +
                  " missing, " + std::to_string(load.duplicates) + " duplicated, " +
                  std::to_string(load.strangers) + " unknown answers");
    }
    if (load.failedResults != 0) {
      report.fail("with " + std::to_string(width) +
                  " in flight: " + std::to_string(load.failedResults) + " calls did not succeed");
    }
    const double targetRate = width == 64 ? 40000 : 25000;
    const std::string suffix = std::to_string(width);
    Row r =
        row("throughput_" + suffix, "throughput, " + suffix + " calls in flight", rate, "calls/s",
            ">= " + std::to_string(static_cast<int>(targetRate)), rate >= targetRate);
    r.details["calls"] = static_cast<std::int64_t>(load.answered);
    r.details["seconds"] = load.seconds;
    r.details["answeredExactlyOnce"] = exact;
    r.details["peakThreads"] = load.peakThreads;
    r.details["serviceCpuUsPerCall"] =
        load.serviceCpuSeconds * 1e6 / static_cast<double>(load.answered);
    report.add(std::move(r));
    report.add(row("server_calls_per_cpu_second_" + suffix,
                   "  server calls per CPU-second, " + suffix + " in flight",
                   static_cast<double>(load.answered) / load.serverCpuSeconds, "calls"));
    report.add(row("server_cpu_us_per_call_" + suffix,
                   "  server CPU per call, " + suffix + " in flight",
                   load.serverCpuSeconds * 1e6 / static_cast<double>(load.answered), "us"));
    report.add(row("driver_cpu_us_per_call_" + suffix,
                   "  driver CPU per call, " + suffix + " in flight",
                   load.driverCpuSeconds * 1e6 / static_cast<double>(load.answered), "us"));
    report.add(row("service_cpu_us_per_call_" + suffix,
                   "  stand-in service CPU per call, " + suffix + " in flight",
                   load.serviceCpuSeconds * 1e6 / static_cast<double>(load.answered), "us"));
    report.add(row("server_peak_threads_" + suffix,
                   "  server threads at most, " + suffix + " in flight", load.peakThreads,
                   "threads"));
    peakRssUnderLoad = std::max(peakRssUnderLoad, sampleProcess(serverPid).peakRssKiB);
  }
  const double peakMiB = static_cast<double>(peakRssUnderLoad) / 1024.0;
  report.add(row("peak_rss_mib_under_load", "peak RSS under load (up to 1,024 in flight)", peakMiB,
                 "MiB", "<= 50 MiB", peakMiB <= 50.0));
  idleWindow("6 s after the load", "after_load", true, std::chrono::milliseconds(6000));

  // Every page of the transcript, as text and as JSON.
  const auto texts = makeUtteranceTexts(options.transcriptScalars);
  for (const std::string_view format : {std::string_view("text"), std::string_view("json")}) {
    gWatchdog->arm("paging", std::chrono::seconds(120));
    std::vector<double> runs;
    PagingResult checked;
    for (int round = 0; round < 4; ++round) {
      PagingResult paging = readAllPages(server, format, round == 0, report);
      if (paging.seconds == 0) break;
      if (round == 0) {
        checked = std::move(paging);  // The first round warms up and is checked.
      } else {
        runs.push_back(paging.seconds);
      }
    }
    const std::optional<std::string> joined = joinPages(checked.lines, report);
    if (joined) {
      if (format == "text" && *joined != joinUtterances(texts)) {
        report.fail("the text pages did not join into the transcript");
      }
      if (format == "json") {
        try {
          if (readJson(*joined) != makeResult(texts)) {
            report.fail("the JSON pages did not join into the result object");
          }
        } catch (const JsonReadError&) {
          report.fail("the JSON pages did not join into valid JSON");
        }
      }
    }
    const Percentiles paging = percentiles(runs);
    const double target = format == "text" ? 0.25 : 0.6;
    const std::string name(format);
    Row r = row("all_pages_" + name + "_s",
                "all pages of a " + std::to_string(options.transcriptScalars) +
                    "-scalar transcript as " + name,
                paging.p50, "s", "<= " + std::string(format == "text" ? "0.25" : "0.6") + " s",
                paging.p50 <= target);
    r.details["pages"] = static_cast<std::int64_t>(checked.pages);
    r.details["rounds"] = static_cast<std::int64_t>(runs.size());
    r.details["msPerPage"] = paging.p50 * 1e3 / static_cast<double>(checked.pages);
    report.add(std::move(r));
    report.add(
        row("pages_" + name, "  pages as " + name, static_cast<double>(checked.pages), "pages"));
  }
  report.add(row("peak_rss_mib_overall", "peak RSS over the whole run (paging included)",
                 static_cast<double>(sampleProcess(serverPid).peakRssKiB) / 1024.0, "MiB"));

  gWatchdog->arm("ending the session", std::chrono::seconds(30));
  const int status = server.process->finish();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    report.fail("the server did not exit with status 0 at the end of its input");
  }
  gWatchdog->disarm();

  const std::string machine = machineDescription();
  report.print(stdout, machine);
  const double loadAfter = loadAverage();
  std::fprintf(stdout, "load average (1 min): %.2f before the run, %.2f after it%s\n", loadBefore,
               loadAfter,
               loadBefore > 0.3 * std::thread::hardware_concurrency()
                   ? " -- the machine was busy before the run; readings are skewed"
                   : "");
  JsonObject context;
  context["machine"] = machine;
  context["cpus"] = static_cast<std::int64_t>(std::thread::hardware_concurrency());
  context["loadAverageBefore"] = loadBefore;
  context["loadAverageAfter"] = loadAfter;
  const std::string lines = report.jsonLines(context);
  std::fputs("\n", stdout);
  std::fputs(lines.c_str(), stdout);
  if (!options.jsonOut.empty()) {
    std::ofstream out(options.jsonOut);
    out << lines;
  }
  return report.passed() ? 0 : 1;
}

}  // namespace
}  // namespace tindrel::bench

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const tindrel::bench::Options options = tindrel::bench::parseOptions(argc, argv);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  tindrel::bench::Watchdog watchdog;
  tindrel::bench::gWatchdog = &watchdog;
  int status = 1;
  try {
    status = tindrel::bench::run(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tindrel-process-bench: %s\n", error.what());
  }
  tindrel::bench::gWatchdog = nullptr;
  return status;
}
