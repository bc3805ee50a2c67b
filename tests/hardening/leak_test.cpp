// A long scripted session that drives every tool and every error path while
// the service quotes the credential everywhere it can: not one byte the
// server writes, on standard output or standard error, holds the token or the
// header value, in plain text, JSON-escaped or base64 at any alignment.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hardening/hardening_support.h"
#include "json/base64.h"
#include "json/json_writer.h"

namespace tindrel::hardening {
namespace {

using namespace std::chrono_literals;

std::string base64(std::string_view bytes) {
  std::string out;
  appendBase64(out, bytes);
  return out;
}

// The forms in which `secret` could travel: as it is, JSON-escaped, and the
// base64 characters that depend on its bytes alone, for each of the three
// positions it can take within a 3-byte group.
std::vector<std::string> leakForms(const std::string& secret) {
  std::vector<std::string> forms = {secret};
  const std::string escaped = writeJson(JsonValue(secret));
  forms.push_back(escaped.substr(1, escaped.size() - 2));
  for (std::size_t shift = 0; shift < 3; ++shift) {
    const std::string encoded = base64(std::string(shift, '\0') + secret);
    const std::size_t first = (shift * 8 + 5) / 6;               // first whole character
    const std::size_t last = ((shift + secret.size()) * 8) / 6;  // one past the last
    forms.push_back(encoded.substr(first, last - first));
  }
  return forms;
}

// The service quotes the token and the header in every place of its answers.
FakeService::Handler quotingService(const std::string& token) {
  const std::string header = "Bearer " + token;
  return [token, header](const httplib::Request& request, httplib::Response& response) {
    const std::string quoted = writeJson(JsonValue(token));
    const std::string quotedHeader = writeJson(JsonValue(header));
    const std::string everywhere =
        R"("token":)" + quoted + R"(,"Authorization":)" + quotedHeader +
        R"(,"X-Tindrel-Agent-Token":)" + quoted + R"(,"note":)" +
        writeJson(JsonValue("sent " + header + " and " + token + token)) + R"(,)" + quoted +
        R"(:"a key",)" + R"("nested":[{"AuthorizationHeader":)" + quotedHeader +
        R"(,"accessToken":)" + quoted + R"(}],"blob":"data:text/plain;base64,)" +
        base64("raw bytes " + header + " " + token) + R"(","quotedBlob":"data:;base64,)" +
        base64(token) + R"(","plainBlob":"data:,)" + token +
        // A token of base64 characters is itself a data URL payload here.
        R"(","passedBlob":"data:;base64,)" + token + R"(")";
    const std::string& path = request.path;
    if (path == "/api/v1/health" || path == "/api/v1/transcribe") {
      response.set_content(
          R"({"jobId":"00000000-0000-4000-8000-000000000001","ready":true,)" + everywhere + "}",
          "application/json");
      return;
    }
    const std::string job = path.substr(path.rfind('/') + 1);
    const auto answer = [&](int status, const std::string& body) {
      response.status = status;
      response.set_content(body, "application/json");
    };
    const std::string utterances = R"({"utterances":[{"text":)" + quoted + R"(},{"text":)" +
                                   writeJson(JsonValue("said " + header)) + R"(,"speaker":)" +
                                   quoted + R"(}],"token":)" + quoted + "}";
    if (job.ends_with("0001")) {
      answer(200, R"({"status":"completed","result":)" + utterances + "," + everywhere + "}");
    } else if (job.ends_with("0002")) {
      answer(200, R"({"status":"queued",)" + everywhere + "}");
    } else if (job.ends_with("0003")) {
      answer(200, R"({"status":"failed","errorCode":)" + quoted + R"(,"sourceFilePath":"/tmp",)" +
                      everywhere + "}");
    } else if (job.ends_with("0004")) {
      answer(200, R"({"status":"running","agentMessage":)" + quotedHeader + "}");
    } else if (job.ends_with("0005")) {
      answer(401, R"({"error":)" + quotedHeader + "}");
    } else if (job.ends_with("0006")) {
      answer(403, R"({"code":)" + quoted + R"(,"error":)" + quotedHeader +
                      R"(,"recoverySuggestion":)" + quoted + "}");
    } else if (job.ends_with("0007")) {
      answer(500, R"({"error":"no)" + token.substr(0, 0) + R"(",)" + everywhere + "}");
    } else if (job.ends_with("0008")) {
      answer(500, "not json " + header);
    } else if (job.ends_with("0009")) {
      answer(200, "[" + quotedHeader + "]");
    } else {
      answer(404, R"({"code":"not_found","error":)" + quoted + "}");
    }
  };
}

std::string jobArguments(int last, const std::string& extra = "") {
  char id[40];
  std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", last);
  return std::string(R"({"jobId":")") + id + "\"" + extra + "}";
}

class Leak : public ::testing::TestWithParam<std::string> {};

TEST_P(Leak, NoFormOfTheCredentialIsEverWritten) {
  const std::string token = GetParam();
  const std::string header = "Bearer " + token;
  FakeService service(quotingService(token));
  ConnectionFile file;
  file.write(service.port(), token);
  McpClient client(file.path());
  ASSERT_TRUE(client.initialize());

  int answered = 0;
  const auto call = [&](const std::string& tool, const std::string& arguments) {
    if (client.call(tool, arguments)) ++answered;
  };
  call("tindrel_health", "{}");
  call("tindrel_health", R"({"token":"x"})");
  call("tindrel_transcribe", R"({"filePath":"/tmp/a.wav","idempotencyKey":"k1"})");
  call("tindrel_transcribe", R"({"filePath":"relative.wav","idempotencyKey":"k1"})");
  call("tindrel_transcribe", R"({"filePath":"/a.wav","idempotencyKey":"   "})");
  call("tindrel_transcribe", R"({"filePath":"/a.wav","idempotencyKey":"k","includeTimestamps":1})");
  call("tindrel_get_job", R"({"jobId":"not-a-uuid"})");
  for (int job = 1; job <= 10; ++job) {
    call("tindrel_get_job", jobArguments(job));
    call("tindrel_get_result", jobArguments(job));
  }
  call("tindrel_get_result", jobArguments(1, R"(,"format":"json","maxCharacters":7)"));
  call("tindrel_get_result", jobArguments(1, R"(,"offset":5,"maxCharacters":3)"));
  call("tindrel_get_result", jobArguments(1, R"(,"offset":100000)"));
  call("tindrel_get_result", jobArguments(1, R"(,"format":"xml")"));
  // Protocol errors and malformed lines.
  client.process().writeLine(
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"x"}})");
  client.process().writeLine(R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{}})");
  client.process().writeLine(R"({"jsonrpc":"2.0","id":3,"method":"resources/list"})");
  client.process().writeLine("{");
  // Connection-file failures.
  std::filesystem::remove(file.path());
  call("tindrel_health", "{}");
  file.write(service.port(), token);
  ::chmod(file.path().c_str(), 0644);
  call("tindrel_health", "{}");
  file.write(service.port(), token);
  call("tindrel_health", "{}");
  EXPECT_EQ(answered, 34);
  // Every call that passes validation reaches the service once.
  EXPECT_EQ(service.requests().size(), 26u);

  client.process().closeStandardInput();
  const auto rest = client.process().readOutputToEnd(20s);
  ASSERT_TRUE(rest);
  std::string output;
  for (const std::string& line : client.lines()) output += line + "\n";
  output += *rest;
  const auto errors = client.process().readErrorToEnd(5s);
  ASSERT_TRUE(errors);
  EXPECT_EQ(*errors, "");
  EXPECT_EQ(client.process().waitForExit(10s), 0);
  // The script did reach the service's texts: its redacted quotes are there.
  EXPECT_NE(output.find("[redacted]"), std::string::npos);

  for (const std::string& secret : {token, header}) {
    for (const std::string& form : leakForms(secret)) {
      EXPECT_EQ(output.find(form), std::string::npos) << "leaked form: " << form;
      EXPECT_EQ(errors->find(form), std::string::npos) << "leaked on stderr: " << form;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Tokens, Leak,
                         ::testing::Values(
                             // Quotes, a backslash and a slash: the JSON-escaped form differs.
                             std::string(R"(leakCanary"Quote\Back/slash+42)"),
                             // Only base64 characters, a multiple of four: a data URL may carry it.
                             std::string("LeakCanaryB64Token0123456789abcd")));

}  // namespace
}  // namespace tindrel::hardening
