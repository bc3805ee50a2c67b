// Expected protocol lines, shared by the tests of the session core and of the
// binary: error responses as the server writes them, and random ids masked so
// that the rest of a line compares exactly.
#pragma once

#include <regex>
#include <string>

namespace tindrel::testing {

// Random ids are fresh version-4 UUIDs; they are checked for that form and
// replaced by a placeholder.
inline std::string withRandomIdsMarked(const std::string& line) {
  static const std::regex uuid(
      R"re("id":"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")re");
  return std::regex_replace(line, uuid, R"("id":"<random>")");
}

// The error response with `id` (already JSON), `code`, the kind's `message`
// and `detail`, members sorted as written.
inline std::string errorLine(const std::string& id, int code, const std::string& message,
                             const std::string& detail) {
  return R"({"error":{"code":)" + std::to_string(code) + R"(,"data":{"detail":")" + detail +
         R"("},"message":")" + message + ": " + detail + R"("},"id":)" + id +
         R"(,"jsonrpc":"2.0"})";
}

}  // namespace tindrel::testing
